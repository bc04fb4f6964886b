#include "shell/WorkingDirectory.h"

#include <system_error>

#include <QDir>
#include <QStandardPaths>

#include "platform/TextCodec.h"
#include "shell/QtText.h"

namespace vantrel {

std::filesystem::path chooseWorkingDirectory(JobFolder choice, const QString& given,
                                             QString& problem) {
    QString dir;
    switch (choice) {
        case JobFolder::Current:
            dir = QDir::currentPath();
            break;
        case JobFolder::Given:
            dir = QDir(given).absolutePath();
            break;
        case JobFolder::User:
            dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
            break;
    }
    const std::filesystem::path path = pathFromUtf8(toUtf8(dir));
    std::error_code ec;
    // Only the per-user folder is made: a mistyped --workdir must not start a new, empty job.
    if (choice == JobFolder::User && !dir.isEmpty()) {
        std::filesystem::create_directories(path, ec);
    }
    if (dir.isEmpty() || !std::filesystem::is_directory(path, ec)) {
        problem = QStringLiteral("工作目录不可用：") + QDir::toNativeSeparators(dir);
        return {};
    }
    return path;
}

}  // namespace vantrel
