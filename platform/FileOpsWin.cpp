#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileOps.h"
#include "platform/FileOpsCommon.h"
#include "platform/LongPath.h"
#include "platform/WinError.h"

namespace vantrel {

namespace fs = std::filesystem;
using detail::withoutTrailingSeparator;

namespace {

std::error_code winError(DWORD err) {
    return windowsError(err);
}

std::error_code lastError() {
    return winError(GetLastError());
}

// The long form, which the calls below need for paths past 260 characters.
std::wstring extended(const fs::path& p) {
    return longPath(p).native();
}

std::wstring child(const std::wstring& folder, const wchar_t* name) {
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\') {
        path += L'\\';
    }
    return path + name;
}

bool isDots(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Calls `each(findData)` for every entry of the folder but "." and "..". Returns the error
// that stopped the listing, or 0.
template <typename Fn>
DWORD forEachEntry(const std::wstring& folder, Fn&& each) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(child(folder, L"*").c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD err = 0;
    do {
        if (!isDots(data.cFileName) && !each(data)) {
            FindClose(find);
            return 0;
        }
    } while (FindNextFileW(find, &data));
    err = GetLastError();
    FindClose(find);
    return err == ERROR_NO_MORE_FILES ? 0 : err;
}

bool isDirectory(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The attributes that stand for permission bits and visibility.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Makes the folder and any missing parents. Returns the error, or 0.
DWORD makeFolders(const std::wstring& folder) {
    if (CreateDirectoryW(folder.c_str(), nullptr)) {
        return 0;
    }
    DWORD err = GetLastError();
    if (err == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && isDirectory(attributes) ? 0 : err;
    }
    const size_t cut = folder.find_last_of(L'\\');
    if (err != ERROR_PATH_NOT_FOUND || cut == std::wstring::npos || cut <= 7) {
        return err;  // 7: nothing left above \\?\C:\ to make
    }
    if (const DWORD parentErr = makeFolders(folder.substr(0, cut)); parentErr != 0) {
        return parentErr;
    }
    return CreateDirectoryW(folder.c_str(), nullptr) ? 0 : GetLastError();
}

// Opens a file or folder (a link is followed) for `access`, sharing it with everyone;
// folders need FILE_FLAG_BACKUP_SEMANTICS to be opened at all.
HANDLE openShared(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Sets a folder's modification time.
DWORD setFolderTime(const std::wstring& folder, const FILETIME& written) {
    HANDLE h = openShared(folder, FILE_WRITE_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    const DWORD err = SetFileTime(h, nullptr, nullptr, &written) ? 0 : GetLastError();
    CloseHandle(h);
    return err;
}

// FILETIME (100 ns since 1601) as nanoseconds since 1970.
std::int64_t nanoseconds(const FILETIME& t) {
    const std::int64_t ticks =
        static_cast<std::int64_t>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
    return (ticks - 116444736000000000) * 100;
}

std::uint64_t sizeOf(DWORD high, DWORD low) {
    return (std::uint64_t{high} << 32) | low;
}

// The entries of a folder, read whole before anything is made from them.
DWORD listFolder(const std::wstring& folder, std::vector<WIN32_FIND_DATAW>& entries) {
    return forEachEntry(folder, [&](const WIN32_FIND_DATAW& e) {
        entries.push_back(e);
        return true;
    });
}

// The source entry cannot be read on its own (no access, or held open by another program).
bool isEntrySourceError(DWORD err) {
    return err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION ||
           err == ERROR_LOCK_VIOLATION || err == ERROR_FILE_NOT_FOUND ||
           err == ERROR_PATH_NOT_FOUND;
}

// The target refuses this one name.
bool isEntryNameError(DWORD err) {
    return err == ERROR_INVALID_NAME || err == ERROR_BAD_PATHNAME ||
           err == ERROR_FILENAME_EXCED_RANGE || err == ERROR_DIRECTORY;
}

// A link from the previous copy that fails for these reasons is replaced by a copy.
bool isShareFallbackError(DWORD err) {
    return err == ERROR_TOO_MANY_LINKS || err == ERROR_NOT_SAME_DEVICE ||
           err == ERROR_ACCESS_DENIED || err == ERROR_INVALID_FUNCTION ||
           err == ERROR_NOT_SUPPORTED;
}

// Whether the source file itself refuses to be read; a copy that failed otherwise failed on
// the target's side.
DWORD sourceReadError(const std::wstring& from) {
    HANDLE h = openShared(from, GENERIC_READ);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    CloseHandle(h);
    return 0;
}

// Puts a copied file's contents on stable storage and gives its size. A read-only copy is
// opened for writing by lifting its read-only attribute for the moment.
DWORD flushFile(const std::wstring& path, DWORD attributes, std::uint64_t& size) {
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly && !SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return GetLastError();
    }
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD err = 0;
    if (h == INVALID_HANDLE_VALUE) {
        err = GetLastError();
    } else {
        LARGE_INTEGER bytes{};
        if (!FlushFileBuffers(h) || !GetFileSizeEx(h, &bytes)) {
            err = GetLastError();
        }
        size = static_cast<std::uint64_t>(bytes.QuadPart);
        CloseHandle(h);
    }
    if (readOnly && !SetFileAttributesW(path.c_str(), attributes) && err == 0) {
        err = GetLastError();
    }
    return err;
}

class WinCopier {
public:
    WinCopier(const CopyOptions& options, const ProgressFn& progress)
        : m_options(options), m_progress(progress) {}

    CopyResult result;

    // The entry `from` whose attributes and time are given, with everything in it. `rel` is
    // its path below the copy's top.
    bool copy(const std::wstring& from, const std::wstring& to, DWORD attributes,
              const FILETIME& written, std::uint64_t size, const fs::path& shownFrom,
              const fs::path& shownTo, const fs::path& rel, bool keepAttributes = true) {
        if (isLink(attributes)) {
            return copyLink(from, to, attributes, written, shownFrom, shownTo, rel);
        }
        if (!isDirectory(attributes)) {
            return copyFile(from, to, attributes, written, size, shownFrom, shownTo, rel);
        }
        std::vector<WIN32_FIND_DATAW> entries;
        if (const DWORD err = listFolder(from, entries); err != 0) {
            return entryFailed(shownFrom, err, isEntrySourceError(err));
        }
        if (!CreateDirectoryW(to.c_str(), nullptr)) {
            const DWORD err = GetLastError();
            return entryFailed(shownFrom, err, isEntryNameError(err));
        }
        if (rel.empty()) {
            // A destination inside the source must not be copied into itself.
            m_topId = fileIdOf(to);
        }
        for (const WIN32_FIND_DATAW& e : entries) {
            if (cancelled()) {
                return failCancelled(shownFrom / e.cFileName);
            }
            const std::wstring childFrom = child(from, e.cFileName);
            const bool folder = isDirectory(e.dwFileAttributes) && !isLink(e.dwFileAttributes);
            // Left out on purpose: an excluded folder is never listed.
            if (m_options.exclude && m_options.exclude(rel / e.cFileName, folder)) {
                continue;
            }
            if (folder && skipped(childFrom)) {
                continue;
            }
            if (!copy(childFrom, child(to, e.cFileName), e.dwFileAttributes, e.ftLastWriteTime,
                      sizeOf(e.nFileSizeHigh, e.nFileSizeLow), shownFrom / e.cFileName,
                      shownTo / e.cFileName, rel / e.cFileName)) {
                return false;
            }
        }
        // The folder's time last, after its contents stopped changing it.
        if (const DWORD err = setFolderTime(to, written); err != 0) {
            return fail(shownTo, err);
        }
        const DWORD kept = attributes & kKeptAttributes;
        if (keepAttributes && kept != 0 && !SetFileAttributesW(to.c_str(), kept)) {
            return fail(shownTo, GetLastError());
        }
        placed(rel, EntryType::Folder, 0, written, false, shownTo);
        return true;
    }

    CopyProgress done() const { return m_done; }

    bool topEntry = false;  // the source itself is a file: it is never left out

private:
    bool fail(const fs::path& path, DWORD err) {
        static_cast<FileOpResult&>(result) = {path, winError(err)};
        return false;
    }

    bool cancelled() const { return m_options.cancel && m_options.cancel->load(); }

    bool failCancelled(const fs::path& path) {
        static_cast<FileOpResult&>(result) = {path,
                                              std::make_error_code(std::errc::operation_canceled)};
        return false;
    }

    // An entry that failed on its own: left out when the caller allows it, else the end of
    // the copy. Returns whether the copy goes on.
    bool entryFailed(const fs::path& src, DWORD err, bool entryOnly) {
        if (!m_options.skipFailedEntries || !entryOnly || topEntry) {
            return fail(src, err);
        }
        if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) {
            result.skipped.push_back({src, winError(err)});  // gone since listed: nothing lost
        }
        return true;
    }

    // Folders listed to be skipped, and the copy's own top.
    bool skipped(const std::wstring& folder) {
        if (!m_topId && m_options.skipFolders.empty()) {
            return false;
        }
        const std::optional<FileId> id = fileIdOf(folder);
        if (!id) {
            return false;
        }
        return id == m_topId ||
               std::find(m_options.skipFolders.begin(), m_options.skipFolders.end(), *id) !=
                   m_options.skipFolders.end();
    }

    void placed(const fs::path& rel, EntryType type, std::uint64_t size, const FILETIME& written,
                bool shared, const fs::path& shownTo, const EntryStat* source = nullptr) {
        if (type != EntryType::Folder) {
            ++m_done.files;
            if (m_progress) {
                m_progress(m_done);
            }
        }
        if (m_options.onEntry) {
            CopiedEntry e;
            e.relative = rel;
            e.type = type;
            e.size = size;
            e.mtimeNs = nanoseconds(written);
            e.shared = shared;
            e.written = &shownTo;
            e.source = source;
            m_options.onEntry(e);
        }
    }

    // Links `to` to the same file at `rel` in the copy shared from, when that file is
    // unchanged. Returns 0 when linked, else the reason (ERROR_FILE_NOT_FOUND: no match).
    DWORD share(const std::wstring& to, DWORD attributes, const FILETIME& written,
                std::uint64_t size, const fs::path& rel, const EntryStat* source) {
        if (m_options.shareFrom.empty()) {
            return ERROR_FILE_NOT_FOUND;
        }
        const std::wstring counterpart =
            extended(rel.empty() ? m_options.shareFrom : m_options.shareFrom / rel);
        if (m_options.mayShare) {
            const fs::path previousPath(counterpart);
            const auto previous = statEntry(previousPath);
            const auto id = fileIdOf(previousPath);
            if (source == nullptr || !previous || !id || previous->type != EntryType::File ||
                !m_options.mayShare(rel, *source, *previous, *id)) {
                return ERROR_FILE_NOT_FOUND;
            }
            return CreateHardLinkW(to.c_str(), counterpart.c_str(), nullptr) ? 0 : GetLastError();
        }
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(counterpart.c_str(), GetFileExInfoStandard, &data) ||
            isDirectory(data.dwFileAttributes) || isLink(data.dwFileAttributes) ||
            sizeOf(data.nFileSizeHigh, data.nFileSizeLow) != size ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) !=
                (attributes & FILE_ATTRIBUTE_READONLY)) {
            return ERROR_FILE_NOT_FOUND;
        }
        const std::int64_t diff = nanoseconds(data.ftLastWriteTime) - nanoseconds(written);
        const std::int64_t tolerance = std::max<std::int64_t>(m_options.shareTimeToleranceNs, 0);
        if (diff > tolerance || diff < -tolerance) {
            return ERROR_FILE_NOT_FOUND;
        }
        return CreateHardLinkW(to.c_str(), counterpart.c_str(), nullptr) ? 0 : GetLastError();
    }

    // CopyFileExW keeps the contents, the attributes and the modification time to the 100 ns;
    // the copy is then flushed to disk.
    bool copyFile(const std::wstring& from, const std::wstring& to, DWORD attributes,
                  const FILETIME& written, std::uint64_t size, const fs::path& shownFrom,
                  const fs::path& shownTo, const fs::path& rel) {
        // The source's change time is read from the file itself, once, for the sharing rule
        // and the manifest.
        std::optional<EntryStat> source;
        if (m_options.mayShare || m_options.onEntry) {
            source = statEntry(fs::path(from));
        }
        const EntryStat* sourceStat = source ? &*source : nullptr;
        if (const DWORD err = share(to, attributes, written, size, rel, sourceStat); err == 0) {
            ++result.shared;
            m_done.bytes += size;
            placed(rel, EntryType::File, size, written, true, shownTo, sourceStat);
            return true;
        } else if (isShareFallbackError(err)) {
            ++result.shareFallbacks;
        } else if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) {
            return fail(shownTo, err);
        }
        m_fileBytes = 0;
        if (!CopyFileExW(from.c_str(), to.c_str(), &WinCopier::onChunk, this, nullptr,
                         COPY_FILE_FAIL_IF_EXISTS)) {
            const DWORD err = GetLastError();
            if (err == ERROR_REQUEST_ABORTED && cancelled()) {
                DeleteFileW(to.c_str());
                return failCancelled(shownFrom);
            }
            if (isEntryNameError(err)) {
                return entryFailed(shownFrom, err, true);
            }
            // The same reason from the source alone: the file, not the target, is at fault.
            const DWORD readErr = sourceReadError(from);
            if (readErr != 0 && isEntrySourceError(readErr)) {
                DeleteFileW(to.c_str());
                return entryFailed(shownFrom, readErr, true);
            }
            return fail(shownTo, err);
        }
        std::uint64_t copied = 0;
        if (const DWORD err = flushFile(to, attributes, copied); err != 0) {
            return fail(shownTo, err);
        }
        // What the callback left uncounted: some systems (Wine) never call it.
        m_done.bytes += copied - std::min(copied, m_fileBytes);
        placed(rel, EntryType::File, size, written, false, shownTo, sourceStat);
        return true;
    }

    // A link is copied as a link, never followed.
    bool copyLink(const std::wstring& from, const std::wstring& to, DWORD attributes,
                  const FILETIME& written, const fs::path& shownFrom, const fs::path& shownTo,
                  const fs::path& rel) {
        const BOOL ok = isDirectory(attributes)
                            ? CreateDirectoryExW(from.c_str(), to.c_str(), nullptr)
                            : CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr,
                                          COPY_FILE_COPY_SYMLINK | COPY_FILE_FAIL_IF_EXISTS);
        if (!ok) {
            const DWORD err = GetLastError();
            return isEntryNameError(err) ? entryFailed(shownFrom, err, true) : fail(shownTo, err);
        }
        placed(rel, EntryType::Link, 0, written, false, shownTo);
        return true;
    }

    static DWORD CALLBACK onChunk(LARGE_INTEGER total, LARGE_INTEGER transferred, LARGE_INTEGER,
                                  LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE, LPVOID self) {
        auto* copier = static_cast<WinCopier*>(self);
        if (copier->cancelled()) {
            return PROGRESS_CANCEL;
        }
        const auto now = static_cast<std::uint64_t>(transferred.QuadPart);
        copier->m_done.bytes += now - copier->m_fileBytes;
        copier->m_fileBytes = now;
        // Big files report as they go; every file reports when it is done.
        if (copier->m_progress && transferred.QuadPart < total.QuadPart) {
            copier->m_progress(copier->m_done);
        }
        return PROGRESS_CONTINUE;
    }

    const CopyOptions& m_options;
    const ProgressFn& m_progress;
    CopyProgress m_done;
    std::uint64_t m_fileBytes = 0;  // bytes of the current file counted so far
    std::optional<FileId> m_topId;
};

class WinRemover {
public:
    FileOpResult result;

    bool remove(const std::wstring& path, DWORD attributes, const fs::path& shown) {
        if (isDirectory(attributes) && !isLink(attributes)) {
            bool ok = true;
            const DWORD listErr = forEachEntry(path, [&](const WIN32_FIND_DATAW& e) {
                ok = remove(child(path, e.cFileName), e.dwFileAttributes, shown / e.cFileName);
                return ok;
            });
            if (!ok) {
                return false;
            }
            if (listErr != 0) {
                return fail(shown, listErr);
            }
        }
        // A directory link goes with RemoveDirectoryW, which leaves its target alone.
        auto once = [&] {
            return isDirectory(attributes) ? RemoveDirectoryW(path.c_str())
                                           : DeleteFileW(path.c_str());
        };
        if (once()) {
            return true;
        }
        DWORD err = GetLastError();
        // Read-only entries are removed too, as "for good" means.
        if (err == ERROR_ACCESS_DENIED && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
            SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
            if (once()) {
                return true;
            }
            err = GetLastError();
        }
        return fail(shown, err);
    }

private:
    bool fail(const fs::path& path, DWORD err) {
        result = {path, winError(err)};
        return false;
    }
};

bool isMissing(DWORD err) {
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

}  // namespace

CopyResult RealFileOps::copyTree(const fs::path& from, const fs::path& to,
                                 const CopyOptions& options, const ProgressFn& progress) {
    const fs::path shownFrom = withoutTrailingSeparator(from);
    const fs::path shownTo = withoutTrailingSeparator(to);
    const std::wstring src = extended(shownFrom);
    const std::wstring dst = extended(shownTo);

    // The source itself is followed when it is a link: what it names is copied.
    HANDLE h = openShared(src, FILE_READ_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) {
        return FileOpResult{from, lastError()};
    }
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL ok = GetFileInformationByHandle(h, &info);
    const DWORD infoErr = GetLastError();
    CloseHandle(h);
    if (!ok) {
        return FileOpResult{from, winError(infoErr)};
    }
    if (GetFileAttributesW(dst.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return FileOpResult{to, std::make_error_code(std::errc::file_exists)};
    }
    const size_t cut = dst.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut > 7) {
        if (const DWORD err = makeFolders(dst.substr(0, cut)); err != 0) {
            return FileOpResult{shownTo.parent_path(), winError(err)};
        }
    }
    WinCopier copier(options, progress);
    const DWORD attributes = info.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT;
    copier.topEntry = !isDirectory(attributes);
    // A drive root is hidden and a system folder; its copy should not be.
    const bool fromRoot = !shownFrom.has_relative_path();
    copier.copy(src, dst, attributes, info.ftLastWriteTime,
                sizeOf(info.nFileSizeHigh, info.nFileSizeLow), shownFrom, shownTo, {}, !fromRoot);
    copier.result.done = copier.done();
    return std::move(copier.result);
}

FileOpResult RealFileOps::removeTree(const fs::path& path) {
    const std::wstring p = extended(withoutTrailingSeparator(path));
    const DWORD attributes = GetFileAttributesW(p.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD err = GetLastError();
        return isMissing(err) ? FileOpResult{} : FileOpResult{path, winError(err)};
    }
    WinRemover remover;
    remover.remove(p, attributes, withoutTrailingSeparator(path));
    return remover.result;
}

FileOpResult RealFileOps::rename(const fs::path& from, const fs::path& to) {
    if (!MoveFileExW(extended(from).c_str(), extended(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return {from, lastError()};
    }
    return {};
}

FileOpResult RealFileOps::exchange(const fs::path& a, const fs::path&) {
    return {a, std::make_error_code(std::errc::not_supported)};
}

FileOpResult RealFileOps::syncFileSystem(const fs::path&) {
    return {};
}

FileOpResult RealFileOps::syncFolder(const fs::path&) {
    return {};
}

namespace {

// Counts a folder's contents with FindFirstFileExW; links are counted, never entered.
// Folders that cannot be listed are left out, as a copy that skips failed entries does, and
// so are the entries `exclude` names; `rel` is the folder's path below the top.
FileOpResult measureFolder(const std::wstring& folder, const fs::path& shown, const fs::path& rel,
                           TreeSize& size, const std::atomic<bool>* cancel,
                           const ExcludeFn& exclude) {
    FileOpResult result;
    const DWORD err = forEachEntry(folder, [&](const WIN32_FIND_DATAW& e) {
        if (cancel && cancel->load()) {
            result = {shown, std::make_error_code(std::errc::operation_canceled)};
            return false;
        }
        const bool isFolder = isDirectory(e.dwFileAttributes) && !isLink(e.dwFileAttributes);
        if (exclude && exclude(rel / e.cFileName, isFolder)) {
            return true;
        }
        if (isFolder) {
            ++size.folders;
            result = measureFolder(child(folder, e.cFileName), shown / e.cFileName,
                                   rel / e.cFileName, size, cancel, exclude);
            return result.ok();
        }
        ++size.files;
        if (!isLink(e.dwFileAttributes)) {
            const std::uint64_t bytes = sizeOf(e.nFileSizeHigh, e.nFileSizeLow);
            size.bytes += bytes;
            size.allocatedBytes += bytes;
        }
        return true;
    });
    if (!result.ok()) {
        return result;
    }
    if (err != 0 && !isEntrySourceError(err)) {
        return {shown, winError(err)};
    }
    return {};
}

}  // namespace

FileOpResult RealFileOps::measureTree(const fs::path& path, TreeSize& size,
                                      const std::atomic<bool>* cancel, const ExcludeFn& exclude) {
    const fs::path shown = withoutTrailingSeparator(path);
    const std::wstring p = extended(shown);
    // Followed when it is a link, as a copy follows it.
    HANDLE h = openShared(p, FILE_READ_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) {
        return {path, lastError()};
    }
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL ok = GetFileInformationByHandle(h, &info);
    const DWORD err = GetLastError();
    CloseHandle(h);
    if (!ok) {
        return {path, winError(err)};
    }
    if (!isDirectory(info.dwFileAttributes)) {
        ++size.files;
        size.bytes += sizeOf(info.nFileSizeHigh, info.nFileSizeLow);
        size.allocatedBytes += sizeOf(info.nFileSizeHigh, info.nFileSizeLow);
        return {};
    }
    ++size.folders;
    return measureFolder(p, shown, {}, size, cancel, exclude);
}

std::optional<FileId> fileIdOf(const fs::path& path) {
    HANDLE h = openShared(extended(path), FILE_READ_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) {
        return std::nullopt;
    }
    return FileId{info.dwVolumeSerialNumber,
                  (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

}  // namespace vantrel
