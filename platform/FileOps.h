#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/ContentDigest.h"
#include "platform/FileStat.h"

namespace vantrel {

struct CopyProgress {
    std::uint64_t files = 0;  // regular files and links finished
    std::uint64_t bytes = 0;  // bytes of file contents copied or shared
};

// What a tree holds, counted before it is copied.
struct TreeSize {
    std::uint64_t files = 0;           // regular files, links and special files
    std::uint64_t folders = 0;         // folders, the top one included when it is a folder
    std::uint64_t bytes = 0;           // sizes of regular files
    std::uint64_t allocatedBytes = 0;  // space their data takes on disk (holes excluded)
};

// Outcome of a copy or delete: a partial failure is data, not an exception.
struct FileOpResult {
    std::filesystem::path failedPath;  // first path that failed; empty on success
    std::error_code error;             // the OS's reason

    bool ok() const { return !error; }
};

// One entry a copy left out, and the OS's reason; the copy went on without it.
struct SkippedEntry {
    std::filesystem::path path;  // the source entry
    std::error_code error;
};

// Identity of a file or folder: device and inode (volume serial and file index on Windows).
// Two paths with one identity are one object, whatever route (link, bind mount) leads there.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    friend bool operator==(const FileId&, const FileId&) = default;
};

// The identity of the object at `path`, following links; none when it cannot be read.
std::optional<FileId> fileIdOf(const std::filesystem::path& path);

// One entry placed in the copy, reported as it is done (for a manifest of the copy).
struct CopiedEntry {
    std::filesystem::path relative;  // path below the copy's top; empty for the top itself
    EntryType type = EntryType::File;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;  // modification time, nanoseconds since the epoch
    bool shared = false;       // hard-linked from the previous copy instead of copied
    bool asWritten = false;    // size and time were read back from the copy, not the source
    const std::filesystem::path* written = nullptr;  // where it now is in the copy
    // The source entry as it was read before it was copied; null where it could not be read.
    const EntryStat* source = nullptr;
    // The entry as the copy holds it, read back (permission bits, owner, group); null where it
    // was not.
    const EntryStat* held = nullptr;
    // A copied file's contents as written, hashed by CopyOptions::digest while they were
    // copied; null where the copy did not hash them (a shared file, no digest, a failed read).
    const std::string* hash = nullptr;
};

// Entries a copy, a count or a walk leaves out, asked with an entry's path below the top and
// whether it is a folder (a link never is). An entry it excludes is not copied, counted or
// visited, and a folder it excludes is not entered. May be called from the copy's two threads
// at once. Empty: nothing is excluded.
using ExcludeFn = std::function<bool(const std::filesystem::path& relative, bool folder)>;

struct CopyOptions {
    // Entries that cannot be copied on their own (an unreadable or locked file, a special
    // file that may not be made, a name the target refuses) are left out and listed in
    // CopyResult::skipped, and the copy goes on; an entry that vanished since its folder was
    // read is left out without being listed. Without it the copy stops at the first one.
    // Failures of the whole copy (a missing source, an unwritable target, a full disk, an I/O
    // error on the target) always stop it.
    bool skipFailedEntries = false;
    // Polled while copying; once true the copy stops with std::errc::operation_canceled.
    const std::atomic<bool>* cancel = nullptr;
    // Folders with these identities are not copied (a target reached inside the source).
    std::vector<FileId> skipFolders;
    // When set, a regular file whose counterpart at the same relative path under `shareFrom`
    // is a regular file that `mayShare` accepts is hard-linked from there instead of copied:
    // the two copies then hold one file, whose owner, mode and times are left as they are.
    // Without `mayShare`, a counterpart with the same size, modification time, permission bits
    // and (as root) owner is accepted. A link that fails because the target cannot hold it
    // (too many links, not supported, another device, no permission) falls back to a copy,
    // counted in CopyResult::shareFallbacks; the source's other names then link to that copy.
    std::filesystem::path shareFrom;
    // Modification times within this many nanoseconds count as equal when sharing without
    // `mayShare` (2 s on file systems that keep only 2-second times).
    std::int64_t shareTimeToleranceNs = 0;
    // Whether the source file at `relative` (as `source` says it is now) may be linked from its
    // counterpart, which `previous` and `previousId` describe. Both threads may call it at once.
    std::function<bool(const std::filesystem::path& relative, const EntryStat& source,
                       const EntryStat& previous, const FileId& previousId)>
        mayShare;
    // Called for every entry placed in the copy. The copy's two threads may call it at
    // once, so it must be safe to call concurrently.
    std::function<void(const CopiedEntry&)> onEntry;
    // When set, each file copied (not linked) is hashed as its bytes are written, each thread
    // with a digest of its own, and the hash reported in CopiedEntry::hash.
    DigestFactory digest;
    // Entries below the top left out on purpose: neither copied nor listed as skipped.
    ExcludeFn exclude;
};

struct CopyResult : FileOpResult {
    CopyResult() = default;
    CopyResult(FileOpResult result) : FileOpResult(std::move(result)) {}

    std::vector<SkippedEntry> skipped;  // entries left out (only with skipFailedEntries)
    CopyProgress done;
    std::uint64_t shared = 0;          // files hard-linked from CopyOptions::shareFrom
    std::uint64_t shareFallbacks = 0;  // links that failed and were copied instead
};

using ProgressFn = std::function<void(const CopyProgress&)>;

// One entry of a folder, as listed, a link not followed.
struct FolderEntry {
    std::filesystem::path name;
    EntryStat stat;
};

// The engine's way to the file system: copies, deletes and counts whole trees, and answers
// questions about single entries. One real implementation, whose OS-specific parts live in
// one file per OS; tests may fake faults that real files cannot show on demand. Paths are
// taken as the caller spells them, at any length: on Windows the implementation asks the
// system with their long form itself.
class FileOps {
public:
    virtual ~FileOps() = default;

    // Copies the file or folder `from` with everything in it to `to`, which must not exist.
    // A `from` that is a symbolic link is followed; links inside it are copied as links.
    // Missing parent folders are made. Files keep contents, holes, permission bits, times,
    // hard links to each other and, where the process may set them, owner, group and
    // extended attributes.
    virtual CopyResult copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
                                const CopyOptions& options, const ProgressFn& progress) = 0;

    // Removes the file, link or folder at `path` and everything in it, for good. Never
    // follows a link out of the folder. A missing path is success.
    virtual FileOpResult removeTree(const std::filesystem::path& path) = 0;

    // Renames `from` to `to`; an existing file at `to` is replaced.
    virtual FileOpResult rename(const std::filesystem::path& from,
                                const std::filesystem::path& to) = 0;

    // Swaps two existing entries in one atomic step. Fails with std::errc::not_supported
    // where the OS or file system cannot; the caller then renames aside.
    virtual FileOpResult exchange(const std::filesystem::path& a,
                                  const std::filesystem::path& b) = 0;

    // Puts everything written to the file system holding `path` on stable storage.
    virtual FileOpResult syncFileSystem(const std::filesystem::path& path) = 0;
    // Puts a folder's entries (names made, renamed or removed in it) on stable storage.
    virtual FileOpResult syncFolder(const std::filesystem::path& folder) = 0;

    // Counts what `path` holds, following `path` itself when it is a link but no link inside.
    // Entries it may not read are left out, as a copy that skips failed entries leaves them
    // out; files hard-linked to each other count their allocated space once. Entries that
    // `exclude` names are left out too. Stops with std::errc::operation_canceled once `cancel`
    // is true.
    virtual FileOpResult measureTree(const std::filesystem::path& path, TreeSize& size,
                                     const std::atomic<bool>* cancel = nullptr,
                                     const ExcludeFn& exclude = {}) = 0;

    // One entry or one folder at a time: the engine asks these, never the OS, so that a fake
    // can answer for every path it takes.

    // The entry at `path`; with `followLink` a link is followed to what it names. None when it
    // cannot be read, or is missing.
    virtual std::optional<EntryStat> stat(const std::filesystem::path& path, bool followLink) = 0;
    // The identity of the object at `path`, following links; none when it cannot be read.
    virtual std::optional<FileId> fileId(const std::filesystem::path& path) = 0;
    // What the link at `path` holds; none when it is no link or cannot be read.
    virtual std::optional<std::filesystem::path> readLink(const std::filesystem::path& path) = 0;
    // `path` with its links resolved and "." and ".." taken out, for the part of it that
    // exists, the rest as written; none when it cannot be read.
    virtual std::optional<std::filesystem::path> resolveLinks(
        const std::filesystem::path& path) = 0;
    // Whether the folder at `path` (a link followed) holds nothing; none when it is no folder
    // or cannot be read.
    virtual std::optional<bool> isEmptyFolder(const std::filesystem::path& path) = 0;
    // The entries directly in `folder`; empty when it cannot be read.
    virtual std::vector<std::filesystem::path> list(const std::filesystem::path& folder) = 0;
    // The entries directly in `folder`, in no particular order, each with what it is, read
    // beside the listing rather than by its path again (a tree of small files is read at the
    // speed of its folders); entries gone since the listing are left out. The OS's reason
    // when the folder cannot be read. Reaches paths of any length.
    virtual std::error_code listStats(const std::filesystem::path& folder,
                                      std::vector<FolderEntry>& entries) = 0;
    // Calls `visit` with every entry below `root` (not `root` itself, which is followed when it
    // is a link) and what it is, a folder before what it holds. Links inside are not followed;
    // entries that cannot be read, and those `exclude` names, are left out.
    using Visit = std::function<void(const std::filesystem::path&, const EntryStat&)>;
    virtual void walk(const std::filesystem::path& root, const Visit& visit,
                      const ExcludeFn& exclude = {}) = 0;
    // Space free for a new entry at `path`, on the nearest folder of it that exists; none
    // when it cannot be told.
    virtual std::optional<std::uint64_t> availableSpace(const std::filesystem::path& path) = 0;
    // Makes `folder` and every missing folder above it.
    virtual FileOpResult createFolders(const std::filesystem::path& folder) = 0;
    // What `folder`'s file system can hold, tried there with a file named `probeName` and a
    // link to it, both removed again. Throws std::system_error when the file cannot be made.
    virtual LinkSupport probeLinks(const std::filesystem::path& folder,
                                   const std::filesystem::path& probeName) = 0;
};

// How file contents are moved. Auto uses the kernel's copy_file_range where the file systems
// allow it, then sendfile, then plain read and write; the others force one way (for tests).
enum class CopyMethod { Auto, CopyFileRange, SendFile, ReadWrite };

class RealFileOps final : public FileOps {
public:
    explicit RealFileOps(CopyMethod method = CopyMethod::Auto) : m_method(method) {}

    CopyResult copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
                        const CopyOptions& options, const ProgressFn& progress) override;
    FileOpResult removeTree(const std::filesystem::path& path) override;
    FileOpResult rename(const std::filesystem::path& from,
                        const std::filesystem::path& to) override;
    FileOpResult exchange(const std::filesystem::path& a, const std::filesystem::path& b) override;
    FileOpResult syncFileSystem(const std::filesystem::path& path) override;
    FileOpResult syncFolder(const std::filesystem::path& folder) override;
    FileOpResult measureTree(const std::filesystem::path& path, TreeSize& size,
                             const std::atomic<bool>* cancel = nullptr,
                             const ExcludeFn& exclude = {}) override;

    std::optional<EntryStat> stat(const std::filesystem::path& path, bool followLink) override;
    std::optional<FileId> fileId(const std::filesystem::path& path) override;
    std::optional<std::filesystem::path> readLink(const std::filesystem::path& path) override;
    std::optional<std::filesystem::path> resolveLinks(const std::filesystem::path& path) override;
    std::optional<bool> isEmptyFolder(const std::filesystem::path& path) override;
    std::vector<std::filesystem::path> list(const std::filesystem::path& folder) override;
    std::error_code listStats(const std::filesystem::path& folder,
                              std::vector<FolderEntry>& entries) override;
    void walk(const std::filesystem::path& root, const Visit& visit,
              const ExcludeFn& exclude = {}) override;
    std::optional<std::uint64_t> availableSpace(const std::filesystem::path& path) override;
    FileOpResult createFolders(const std::filesystem::path& folder) override;
    LinkSupport probeLinks(const std::filesystem::path& folder,
                           const std::filesystem::path& probeName) override;

private:
    CopyMethod m_method;
};

}  // namespace vantrel
