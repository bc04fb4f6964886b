#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/ContentDigest.h"

namespace vantrel {

// The XXH3-128 of a file's contents as 32 hex digits. Throws std::system_error when the file
// cannot be read.
std::string hashFile(const std::filesystem::path& file);

// The digest hashFile computes, for a copy to hash the bytes it writes as it goes.
std::unique_ptr<ContentDigest> newContentDigest();

}  // namespace vantrel
