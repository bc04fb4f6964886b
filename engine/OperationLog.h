#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"

namespace vantrel {

// The plain-text log of backup runs: GBK bytes (written as GB18030), one line per run,
// every line ended by CR LF. One path for every use: "Log/FileBackupLog.log" under the
// working directory. Errors are BackupError with the path and the OS's reason.
class OperationLog {
public:
    explicit OperationLog(std::filesystem::path file);

    // "yymmdd H:mm:ss   <source>   成功备份至   <target>", formats fixed, not from the locale.
    static std::string composeLine(LocalTime when, std::string_view sourcePath,
                                   std::string_view targetPath);

    // Appends one line in place, creating the "Log" folder and the file when missing. If the
    // file's last line lacks CR LF, CR LF is written before the new line.
    void Append(std::string_view line);
    // Creates the file empty when missing (and its folder); leaves an existing file untouched.
    void EnsureExists();
    // The whole file as lines (UTF-8), without line endings.
    std::vector<std::string> LoadLines() const;
    // Empties the file (zero bytes).
    void Clear();

    const std::filesystem::path& file() const { return m_file; }

private:
    std::filesystem::path m_file;
};

}  // namespace vantrel
