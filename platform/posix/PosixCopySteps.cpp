#include "platform/posix/PosixCopySteps.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/FileOpsCommon.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixFd.h"
#include "platform/posix/PosixStat.h"

namespace vantrel::posix {

namespace fs = std::filesystem;
using detail::withoutTrailingSeparator;

// Extended attributes are copied where both sides allow it; a failure loses only them.
void copyXattrs(int in, int out) {
    ssize_t len = ::flistxattr(in, nullptr, 0);
    if (len <= 0) {
        return;
    }
    std::vector<char> names(static_cast<size_t>(len));
    len = ::flistxattr(in, names.data(), names.size());
    std::vector<char> value;
    for (ssize_t at = 0; at < len;) {
        const char* name = names.data() + at;
        at += static_cast<ssize_t>(std::char_traits<char>::length(name)) + 1;
        const ssize_t size = ::fgetxattr(in, name, nullptr, 0);
        if (size < 0) {
            continue;
        }
        value.resize(static_cast<size_t>(size));
        const ssize_t got = ::fgetxattr(in, name, value.data(), value.size());
        if (got >= 0) {
            ::fsetxattr(out, name, value.data(), static_cast<size_t>(got), 0);
        }
    }
}

// mkdir -p for the folder a copy goes into; symbolic links to folders count as folders.
FileOpResult makeFolders(const fs::path& folder) {
    struct stat st;
    if (folder.empty() || ::stat(folder.c_str(), &st) == 0) {
        if (!folder.empty() && !S_ISDIR(st.st_mode)) {
            return failure(folder, ENOTDIR);
        }
        return {};
    }
    if (errno != ENOENT && errno != ENOTDIR) {
        return failure(folder, errno);
    }
    const fs::path parent = withoutTrailingSeparator(folder).parent_path();
    if (parent != folder) {
        if (FileOpResult r = makeFolders(parent); !r.ok()) {
            return r;
        }
    }
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        return failure(folder, errno);
    }
    return {};
}

bool sameForSharing(const CopyOptions& options, uid_t euid, const struct stat& st,
                    const struct stat& shared, const fs::path& rel) {
    if (!S_ISREG(shared.st_mode)) {
        return false;
    }
    if (options.mayShare) {
        return options.mayShare(rel, entryStatOf(st), entryStatOf(shared), idOf(shared));
    }
    if (shared.st_size != st.st_size || (shared.st_mode & 07777) != (st.st_mode & 07777)) {
        return false;
    }
    const std::int64_t diff = nanoseconds(shared.st_mtim) - nanoseconds(st.st_mtim);
    const std::int64_t tolerance = std::max<std::int64_t>(options.shareTimeToleranceNs, 0);
    if (diff > tolerance || diff < -tolerance) {
        return false;
    }
    return euid != 0 || (shared.st_uid == st.st_uid && shared.st_gid == st.st_gid);
}

}  // namespace vantrel::posix
