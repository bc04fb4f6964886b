#pragma once

#include <filesystem>
#include <string>

namespace vantrel {

// The XXH3-128 of a file's contents as 32 hex digits. Throws std::system_error when the file
// cannot be read.
std::string hashFile(const std::filesystem::path& file);

}  // namespace vantrel
