#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/FileOps.h"
#include "platform/FileOpsCommon.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixFd.h"
#include "platform/posix/PosixTreeCopier.h"
#include "platform/posix/PosixTreeMeasurer.h"
#include "platform/posix/PosixTreeRemover.h"

namespace vantrel {

namespace fs = std::filesystem;
using detail::withoutTrailingSeparator;
using posix::failure;
using posix::Fd;

CopyResult RealFileOps::copyTree(const fs::path& from, const fs::path& to,
                                 const CopyOptions& options, const ProgressFn& progress) {
    return posix::copyTree(withoutTrailingSeparator(from), withoutTrailingSeparator(to), options,
                           progress, m_method);
}

FileOpResult RealFileOps::removeTree(const fs::path& path) {
    return posix::removeTree(withoutTrailingSeparator(path));
}

FileOpResult RealFileOps::measureTree(const fs::path& path, TreeSize& size,
                                      const std::atomic<bool>* cancel, const ExcludeFn& exclude) {
    return posix::measureTree(withoutTrailingSeparator(path), size, cancel, exclude);
}

FileOpResult RealFileOps::exchange(const fs::path& a, const fs::path& b) {
    if (::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
        const int err = errno;
        if (err == EINVAL || err == ENOSYS) {
            return {a, std::make_error_code(std::errc::not_supported)};
        }
        return failure(a, err);
    }
    return {};
}

FileOpResult RealFileOps::syncFileSystem(const fs::path& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::syncfs(fd.get()) != 0) {
        return failure(path, errno);
    }
    return {};
}

FileOpResult RealFileOps::syncFolder(const fs::path& folder) {
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0) {
        return failure(folder, errno);
    }
    return {};
}

FileOpResult RealFileOps::rename(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec) {
        return {from, ec};
    }
    return {};
}

std::optional<FileId> fileIdOf(const fs::path& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return posix::idOf(st);
}

}  // namespace vantrel
