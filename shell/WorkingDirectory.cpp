#include "shell/WorkingDirectory.h"

#include <system_error>

#include <QDir>
#include <QStandardPaths>

#include "platform/TextCodec.h"
#include "shell/QtText.h"

namespace vantrel {

std::filesystem::path chooseWorkingDirectory(const QString& given, QString& problem) {
    const QString dir = given.isEmpty()
                            ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
                            : QDir(given).absolutePath();
    const std::filesystem::path path = pathFromUtf8(toUtf8(dir));
    std::error_code ec;
    // Only the default folder is made: a mistyped --workdir must not start a new, empty job.
    if (given.isEmpty() && !dir.isEmpty()) {
        std::filesystem::create_directories(path, ec);
    }
    if (dir.isEmpty() || !std::filesystem::is_directory(path, ec)) {
        problem = QStringLiteral("工作目录不可用：") + QDir::toNativeSeparators(dir);
        return {};
    }
    return path;
}

}  // namespace vantrel
