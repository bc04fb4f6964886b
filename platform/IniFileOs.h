#pragma once

#include <filesystem>
#include <string>

// What saving an INI file does differently on each OS.
namespace vantrel::detail {

// Writes `content` to `temp`, puts it on stable storage and renames it over `file`. `mode` is
// the new file's permission bits where the OS has them. Throws std::runtime_error naming the
// path and the OS's reason; `temp` is removed on failure.
void writeAndReplace(const std::filesystem::path& file, const std::filesystem::path& temp,
                     const std::string& content, std::filesystem::perms mode);

// Makes a temp name unique to this process.
std::string uniqueSuffix();

}  // namespace vantrel::detail
