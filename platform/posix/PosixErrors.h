#pragma once

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/CopyFaults.h"
#include "platform/FileOps.h"

// How the POSIX copy reads an errno value.
namespace vantrel::posix {

inline FileOpResult failure(const std::filesystem::path& path, int err) {
    return {path, std::error_code(err, std::system_category())};
}

// Owner and group are kept where the process may set them; elsewhere the copy is ours.
inline int keepOwner(int err) {
    return err == EPERM || err == EINVAL || err == EOPNOTSUPP ? 0 : err;
}

// An errno value as the copy's policy (platform/CopyFaults.h) reads it.
inline OsError osError(int err) {
    if (err == ENOENT) {
        return OsError::Missing;
    }
    if (err == EACCES || err == EPERM) {
        return OsError::Denied;
    }
    if (err == EAGAIN) {
        return OsError::Held;
    }
    if (err == EINVAL || err == EILSEQ || err == ENAMETOOLONG) {
        return OsError::BadName;
    }
    if (err == ENOSPC || err == EDQUOT || err == EFBIG || err == EROFS) {
        return OsError::TargetFull;
    }
    if (err == EMLINK || err == EXDEV || err == ENOTSUP || err == EOPNOTSUPP) {
        return OsError::LinkRefused;
    }
    return OsError::Other;
}

}  // namespace vantrel::posix
