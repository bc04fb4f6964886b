#pragma once

#include <filesystem>

#include "platform/FileOps.h"

namespace vantrel::posix {

// FileOps::removeTree on POSIX: down and up through descriptors, never following a link.
// `path` comes without a trailing separator.
FileOpResult removeTree(const std::filesystem::path& path);

}  // namespace vantrel::posix
