#include "platform/posix/PosixTreeMeasurer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <set>
#include <utility>
#include <vector>

#include "platform/posix/PosixDataCopy.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixFd.h"

namespace vantrel::posix {

namespace fs = std::filesystem;

namespace {

// Counts a tree through descriptors, never following a link inside it.
class Measurer {
public:
    Measurer(TreeSize& size, const std::atomic<bool>* cancel, const ExcludeFn& exclude)
        : m_size(size), m_cancel(cancel), m_exclude(exclude) {}

    FileOpResult result;

    // `dirFd` and `name` lead to the entry described by `st`.
    void file(int dirFd, const char* name, const struct stat& st) {
        ++m_size.files;
        if (!S_ISREG(st.st_mode)) {
            return;
        }
        m_size.bytes += heldBytes(dirFd, name, st);  // as the copy counts what it moves
        // Files linked to each other take their space once.
        if (st.st_nlink > 1 && !m_linked.insert({st.st_dev, st.st_ino}).second) {
            return;
        }
        m_size.allocatedBytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
    }

    // `rel` is the folder's path below the top, kept only while something is excluded.
    bool folder(Fd& dir, const FileId& id, const fs::path& shown, const fs::path& rel, int depth) {
        std::vector<DirEntry> entries;
        if (const int err = listEntries(dir.get(), entries)) {
            return skippable(err) || fail(shown, err);
        }
        for (const DirEntry& e : entries) {
            if (m_cancel && m_cancel->load()) {
                result = {shown, std::make_error_code(std::errc::operation_canceled)};
                return false;
            }
            const char* name = e.name.c_str();
            if (e.type != DT_DIR && e.type != DT_REG && e.type != DT_UNKNOWN) {
                if (!excluded(rel, e.name, false)) {
                    ++m_size.files;  // links and special files need no stat
                }
                continue;
            }
            struct stat st;
            if (::fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (skippable(errno)) {
                    continue;
                }
                return fail(shown / e.name, errno);
            }
            if (excluded(rel, e.name, S_ISDIR(st.st_mode))) {
                continue;
            }
            if (!S_ISDIR(st.st_mode)) {
                file(dir.get(), name, st);
                continue;
            }
            Fd child(::openat(dir.get(), name, kDirFlags));
            if (!child) {
                if (skippable(errno)) {
                    continue;
                }
                return fail(shown / e.name, errno);
            }
            ++m_size.folders;
            // Deep down, only the deepest folder stays open; its ".." leads back.
            const bool release = depth + 1 >= kKeptLevels;
            if (release) {
                dir.reset();
            }
            if (!folder(child, idOf(st), shown / e.name, m_exclude ? rel / e.name : fs::path(),
                        depth + 1)) {
                return false;
            }
            if (release) {
                dir = reopenParent(child.get(), id);
                if (!dir) {
                    return fail(shown, errno);
                }
            }
        }
        return true;
    }

private:
    static bool skippable(int err) { return err == EACCES || err == EPERM || err == ENOENT; }

    bool excluded(const fs::path& rel, const std::string& name, bool isFolder) const {
        return m_exclude && m_exclude(rel / name, isFolder);
    }

    bool fail(const fs::path& path, int err) {
        result = failure(path, err);
        return false;
    }

    TreeSize& m_size;
    const std::atomic<bool>* m_cancel;
    const ExcludeFn& m_exclude;
    std::set<std::pair<dev_t, ino_t>> m_linked;
};

}  // namespace

FileOpResult measureTree(const fs::path& top, TreeSize& size, const std::atomic<bool>* cancel,
                         const ExcludeFn& exclude) {
    struct stat st;
    if (::stat(top.c_str(), &st) != 0) {
        return failure(top, errno);
    }
    Measurer measurer(size, cancel, exclude);
    if (!S_ISDIR(st.st_mode)) {
        measurer.file(AT_FDCWD, top.c_str(), st);
        return {};
    }
    Fd dir(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        return failure(top, errno);
    }
    ++size.folders;
    measurer.folder(dir, idOf(st), top, {}, 0);
    return measurer.result;
}

}  // namespace vantrel::posix
