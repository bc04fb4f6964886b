#pragma once

#include <cstdint>
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
    // With entries not copied: "   部分备份至   " in place of "   成功备份至   ", and the line
    // ends with "   未复制项数：<n>".
    static std::string composeLine(LocalTime when, std::string_view sourcePath,
                                   std::string_view targetPath, size_t notCopied = 0);

    // Appends one line in place, creating the "Log" folder and the file when missing. If the
    // file's last line lacks CR LF, CR LF is written before the new line.
    void Append(std::string_view line);
    // Throws BackupError naming the file when it cannot be opened for appending.
    void checkWritable();
    // The file's size in bytes; 0 when it is missing.
    std::uint64_t size() const;
    // Whether `line` was written after the file was `offset` bytes long.
    bool hasLineAfter(std::uint64_t offset, std::string_view line) const;
    // Creates the file empty when missing (and its folder); leaves an existing file untouched.
    void EnsureExists();
    // The whole file as lines (UTF-8), without line endings. Bytes that do not decode read as
    // U+FFFD, so a torn line never hides the others.
    std::vector<std::string> LoadLines() const;
    // Empties the file (zero bytes).
    void Clear();

    const std::filesystem::path& file() const { return m_file; }

private:
    std::filesystem::path m_file;
};

}  // namespace vantrel
