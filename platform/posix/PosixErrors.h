#pragma once

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/FileOps.h"

// How the POSIX copy reads an errno value: which side of the copy it belongs to, and whether
// it ends the copy or only one entry.
namespace vantrel::posix {

inline FileOpResult failure(const std::filesystem::path& path, int err) {
    return {path, std::error_code(err, std::system_category())};
}

// Owner and group are kept where the process may set them; elsewhere the copy is ours.
inline int keepOwner(int err) {
    return err == EPERM || err == EINVAL || err == EOPNOTSUPP ? 0 : err;
}

// Errors that belong to the destination side of a copy rather than the source.
inline bool isWriteSideError(int err) {
    return err == ENOSPC || err == EDQUOT || err == EFBIG || err == EROFS;
}

// The source entry cannot be read on its own: it is left out, and the rest is copied.
inline bool isEntrySourceError(int err) {
    return err == EACCES || err == EPERM || err == EAGAIN || err == ENOENT;
}

// The target refuses this one name.
inline bool isEntryNameError(int err) {
    return err == EINVAL || err == EILSEQ || err == ENAMETOOLONG;
}

// A link from the previous copy that fails for these reasons is replaced by a copy.
inline bool isShareFallbackError(int err) {
    return err == EMLINK || err == EPERM || err == EXDEV || err == ENOTSUP || err == EOPNOTSUPP ||
           err == EACCES;
}

}  // namespace vantrel::posix
