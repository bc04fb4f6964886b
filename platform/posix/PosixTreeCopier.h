#pragma once

#include <filesystem>

#include "platform/FileOps.h"

namespace vantrel::posix {

// FileOps::copyTree on POSIX: through descriptors, on two threads (see CopyWorkQueue.h).
// `from` and `to` come without a trailing separator.
CopyResult copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
                    const CopyOptions& options, const ProgressFn& progress, CopyMethod method);

}  // namespace vantrel::posix
