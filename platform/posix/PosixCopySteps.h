#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>

#include "platform/FileOps.h"

// The steps of the POSIX copy that need none of its state.
namespace vantrel::posix {

// Extended attributes are copied where both sides allow it; a failure loses only them.
void copyXattrs(int in, int out);
// mkdir -p for the folder a copy goes into; symbolic links to folders count as folders.
FileOpResult makeFolders(const std::filesystem::path& folder);
// Whether `shared`, the counterpart of `st` in the copy shared from, holds the same file, as
// `options` judge it (`mayShare`, or size, mode, time within the tolerance and, for root,
// owner). `rel` is the entry's path below the copy's top.
bool sameForSharing(const CopyOptions& options, uid_t euid, const struct stat& st,
                    const struct stat& shared, const std::filesystem::path& rel);

}  // namespace vantrel::posix
