#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/FilePlacer.h"
#include "platform/posix/PosixDataCopy.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixFd.h"

namespace vantrel {

namespace fs = std::filesystem;
using posix::failure;
using posix::Fd;

namespace {

// A restore copies whole files; it is neither cancelled nor shown per chunk.
class QuietObserver final : public posix::DataCopyObserver {
public:
    bool cancelled() const override { return false; }
    void moved(std::uint64_t, bool) override {}
};

timespec timespecOf(std::int64_t ns) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    t.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    if (t.tv_nsec < 0) {
        t.tv_nsec += 1'000'000'000;
        --t.tv_sec;
    }
    return t;
}

// Access time now, modification time as given.
void setTimes(timespec (&times)[2], std::int64_t mtimeNs) {
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    times[1] = timespecOf(mtimeNs);
}

// A temporary name of ours from an earlier attempt goes; anything else there is kept and
// makes the create fail.
void clearTemp(const fs::path& temp) {
    struct stat st;
    if (::lstat(temp.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        ::unlink(temp.c_str());
    }
}

}  // namespace

FileOpResult RealFilePlacer::writeFile(const fs::path& from, const fs::path& temp) {
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st;
    if (!in || ::fstat(in.get(), &st) != 0) {
        return failure(from, errno);
    }
    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    Fd out(::open(temp.c_str(), kCreate, 0600));
    if (!out && errno == EEXIST) {
        clearTemp(temp);
        out.reset(::open(temp.c_str(), kCreate, 0600));
    }
    if (!out) {
        return failure(temp, errno);
    }
    thread_local posix::DataCopy data(CopyMethod::Auto);
    QuietObserver quiet;
    int err = data.copy(in.get(), out.get(), st, quiet);
    // Reading the copy failed, or writing here.
    const fs::path& failed = err != 0 && posix::osError(err) != OsError::TargetFull ? from : temp;
    if (err == 0 && ::geteuid() == 0) {
        err = posix::keepOwner(::fchown(out.get(), st.st_uid, st.st_gid) == 0 ? 0 : errno);
    }
    if (err == 0 && ::fchmod(out.get(), st.st_mode & 07777) != 0) {
        err = errno;
    }
    timespec times[2] = {{0, UTIME_NOW}, st.st_mtim};
    if (err == 0 && ::futimens(out.get(), times) != 0) {
        err = errno;
    }
    if (::close(out.release()) != 0 && err == 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(temp.c_str());
        return failure(failed, err);
    }
    return {};
}

FileOpResult RealFilePlacer::writeLink(const fs::path& from, const fs::path& temp) {
    const auto like = statEntry(from);
    if (!like) {
        return failure(from, errno);
    }
    std::string target(static_cast<std::size_t>(like->size > 0 ? like->size : 255) + 1, '\0');
    const ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
    if (n < 0) {
        return failure(from, errno);
    }
    if (static_cast<std::size_t>(n) == target.size()) {
        return failure(from, ENAMETOOLONG);  // changed since it was looked at
    }
    target.resize(static_cast<std::size_t>(n));
    clearTemp(temp);
    if (::symlink(target.c_str(), temp.c_str()) != 0) {
        return failure(temp, errno);
    }
    int err = 0;
    if (::geteuid() == 0) {
        err = posix::keepOwner(::lchown(temp.c_str(), like->owner, like->group) == 0 ? 0 : errno);
    }
    timespec times[2];
    setTimes(times, like->mtimeNs);
    if (err == 0 && ::utimensat(AT_FDCWD, temp.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        err = errno == EOPNOTSUPP ? 0 : errno;
    }
    if (err != 0) {
        ::unlink(temp.c_str());
        return failure(temp, err);
    }
    return {};
}

FileOpResult RealFilePlacer::writePipe(const fs::path& from, const fs::path& temp) {
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) {
        return failure(from, errno);
    }
    if (!S_ISFIFO(st.st_mode)) {
        return failure(from, ENOTSUP);
    }
    clearTemp(temp);
    if (::mkfifo(temp.c_str(), 0600) != 0) {
        return failure(temp, errno);
    }
    int err = 0;
    if (::geteuid() == 0) {
        err = posix::keepOwner(::lchown(temp.c_str(), st.st_uid, st.st_gid) == 0 ? 0 : errno);
    }
    if (err == 0 && ::chmod(temp.c_str(), st.st_mode & 07777) != 0) {
        err = errno;
    }
    timespec times[2] = {{0, UTIME_NOW}, st.st_mtim};
    if (err == 0 && ::utimensat(AT_FDCWD, temp.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(temp.c_str());
        return failure(temp, err);
    }
    return {};
}

FileOpResult RealFilePlacer::writeHardLink(const fs::path& existing, const fs::path& temp) {
    clearTemp(temp);
    return ::link(existing.c_str(), temp.c_str()) == 0 ? FileOpResult{} : failure(temp, errno);
}

FileOpResult RealFilePlacer::place(const fs::path& temp, const fs::path& to, bool replace) {
    if (replace) {
        return ::rename(temp.c_str(), to.c_str()) == 0 ? FileOpResult{} : failure(to, errno);
    }
    if (::syscall(SYS_renameat2, AT_FDCWD, temp.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) ==
        0) {
        return {};
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return failure(to, errno);
    }
    // No atomic form here: a second name, which cannot replace anything, then the first goes.
    if (::link(temp.c_str(), to.c_str()) == 0) {
        ::unlink(temp.c_str());
        return {};
    }
    if (errno == EEXIST) {
        return failure(to, EEXIST);
    }
    // Nor links (FAT): the name is looked at just before the rename.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) {
        return failure(to, EEXIST);
    }
    return ::rename(temp.c_str(), to.c_str()) == 0 ? FileOpResult{} : failure(to, errno);
}

FileOpResult RealFilePlacer::makeFolder(const fs::path& folder, std::uint32_t permissions) {
    // As it is to be, so a restore cut short leaves it so; the owner may write meanwhile.
    const mode_t mode = static_cast<mode_t>((permissions & 0777) | 0700);
    return ::mkdir(folder.c_str(), mode) == 0 ? FileOpResult{} : failure(folder, errno);
}

FileOpResult RealFilePlacer::finishFolder(const fs::path& folder, const EntryStat& like) {
    int err = 0;
    if (::geteuid() == 0) {
        err = posix::keepOwner(::lchown(folder.c_str(), like.owner, like.group) == 0 ? 0 : errno);
    }
    if (err == 0 && ::chmod(folder.c_str(), like.permissions & 07777) != 0) {
        err = errno;
    }
    timespec times[2];
    setTimes(times, like.mtimeNs);
    if (err == 0 && ::utimensat(AT_FDCWD, folder.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        err = errno;
    }
    return err == 0 ? FileOpResult{} : failure(folder, err);
}

FileOpResult RealFilePlacer::removeFile(const fs::path& file) {
    return ::unlink(file.c_str()) == 0 || errno == ENOENT ? FileOpResult{} : failure(file, errno);
}

}  // namespace vantrel
