#pragma once

#include <atomic>
#include <filesystem>

#include "platform/FileOps.h"

namespace vantrel::posix {

// FileOps::measureTree on POSIX: through descriptors, never following a link inside.
// `path` comes without a trailing separator.
FileOpResult measureTree(const std::filesystem::path& path, TreeSize& size,
                         const std::atomic<bool>* cancel, const ExcludeFn& exclude);

}  // namespace vantrel::posix
