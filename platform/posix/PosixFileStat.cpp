#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/FileStat.h"
#include "platform/posix/PosixStat.h"

namespace vantrel {

namespace {

constexpr long kMsdosMagic = 0x4d44;      // FAT
constexpr long kExfatMagic = 0x2011BAB0;  // exFAT
constexpr std::int64_t kTwoSecondsNs = 2'000'000'000;
// An odd second in 2023, inside FAT's range of years.
constexpr time_t kProbeSeconds = 1'700'000'001;

EntryStat fromStat(const struct stat& st) {
    EntryStat e;
    if (S_ISREG(st.st_mode)) {
        e.type = EntryType::File;
    } else if (S_ISDIR(st.st_mode)) {
        e.type = EntryType::Folder;
    } else if (S_ISLNK(st.st_mode)) {
        e.type = EntryType::Link;
    } else {
        e.type = EntryType::Special;
    }
    e.size = static_cast<std::uint64_t>(st.st_size);
    e.allocatedBytes = static_cast<std::uint64_t>(st.st_blocks) * 512;
    e.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    e.ctimeNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    e.permissions = st.st_mode & 07777;
    e.owner = st.st_uid;
    e.group = st.st_gid;
    e.linkCount = st.st_nlink;
    return e;
}

}  // namespace

EntryStat posix::entryStatOf(const struct stat& st) {
    return fromStat(st);
}

std::optional<EntryStat> statEntry(const std::filesystem::path& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return fromStat(st);
}

std::optional<EntryStat> statFollowed(const std::filesystem::path& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return fromStat(st);
}

void walkTree(const std::filesystem::path& root, const WalkFn& each, const WalkSkipFn& skip) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        fs::path relative = it->path().lexically_relative(root);
        if (skip) {
            std::error_code typeError;
            if (skip(relative, it->symlink_status(typeError).type() == fs::file_type::directory)) {
                it.disable_recursion_pending();  // never opened
                continue;
            }
        }
        each(it->path(), relative);
    }
}

bool keepsOwners() {
    return ::geteuid() == 0;
}

LinkSupport probeLinks(const std::filesystem::path& folder,
                       const std::filesystem::path& probeName) {
    LinkSupport support;
    const auto file = folder / probeName;
    auto link = file;
    link += ".link";
    ::unlink(file.c_str());
    ::unlink(link.c_str());
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), file.string());
    }
    // An odd second with a fraction: a file system that keeps 2-second times cannot hold it.
    const struct timespec times[2] = {{kProbeSeconds, 123'456'789}, {kProbeSeconds, 123'456'789}};
    const bool timeSet = ::futimens(fd, times) == 0;
    ::close(fd);

    struct statfs fsInfo;
    const bool coarseFs =
        ::statfs(file.c_str(), &fsInfo) == 0 && (static_cast<long>(fsInfo.f_type) == kMsdosMagic ||
                                                 static_cast<long>(fsInfo.f_type) == kExfatMagic);
    struct stat st;
    if (coarseFs) {
        support.timeToleranceNs = kTwoSecondsNs;
    } else if (timeSet && ::stat(file.c_str(), &st) == 0) {
        const std::int64_t wanted = kProbeSeconds * 1'000'000'000LL + 123'456'789;
        const std::int64_t kept =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        const std::int64_t lost = wanted > kept ? wanted - kept : kept - wanted;
        // Rounded to an even second: 2-second times. A fraction lost: whole seconds.
        support.timeToleranceNs = lost >= 500'000'000 ? kTwoSecondsNs
                                  : lost > 0          ? 1'000'000'000
                                                      : 0;
    }
    support.hardLinks = ::link(file.c_str(), link.c_str()) == 0;
    ::unlink(link.c_str());
    ::unlink(file.c_str());
    return support;
}

}  // namespace vantrel
