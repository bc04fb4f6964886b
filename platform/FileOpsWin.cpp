#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/FileOps.h"
#include "platform/FileOpsCommon.h"
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

// The path in the \\?\ form, which has no 260-character limit. The system takes such a path
// as it is, so it is made absolute and normalised first (doubled separators, "." and "..").
std::wstring extended(const fs::path& p) {
    if (p.native().rfind(LR"(\\?\)", 0) == 0) {
        return p.native();
    }
    std::error_code ec;
    const fs::path absolute = p.is_absolute() ? p : fs::absolute(p, ec);
    const std::wstring native = absolute.lexically_normal().make_preferred().native();
    if (native.rfind(LR"(\\)", 0) == 0) {
        return LR"(\\?\UNC\)" + native.substr(2);
    }
    return LR"(\\?\)" + native;
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

// Sets a folder's modification time; folders need FILE_FLAG_BACKUP_SEMANTICS to be opened.
DWORD setFolderTime(const std::wstring& folder, const FILETIME& written) {
    HANDLE h = CreateFileW(folder.c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    const DWORD err = SetFileTime(h, nullptr, nullptr, &written) ? 0 : GetLastError();
    CloseHandle(h);
    return err;
}

class WinCopier {
public:
    explicit WinCopier(const ProgressFn& progress) : m_progress(progress) {}

    FileOpResult result;

    // Copies one entry whose attributes and time are given, with everything in it.
    bool copy(const std::wstring& from, const std::wstring& to, DWORD attributes,
              const FILETIME& written, const fs::path& shownFrom, const fs::path& shownTo,
              bool keepAttributes = true) {
        if (isLink(attributes)) {
            return copyLink(from, to, attributes, shownTo);
        }
        if (!isDirectory(attributes)) {
            return copyFile(from, to, shownTo);
        }
        if (!CreateDirectoryW(to.c_str(), nullptr)) {
            return fail(shownTo, GetLastError());
        }
        bool ok = true;
        const DWORD listErr = forEachEntry(from, [&](const WIN32_FIND_DATAW& e) {
            ok = copy(child(from, e.cFileName), child(to, e.cFileName), e.dwFileAttributes,
                      e.ftLastWriteTime, shownFrom / e.cFileName, shownTo / e.cFileName);
            return ok;
        });
        if (!ok) {
            return false;
        }
        if (listErr != 0) {
            return fail(shownFrom, listErr);
        }
        // The folder's time last, after its contents stopped changing it.
        if (const DWORD err = setFolderTime(to, written); err != 0) {
            return fail(shownTo, err);
        }
        const DWORD kept = attributes & kKeptAttributes;
        if (keepAttributes && kept != 0 && !SetFileAttributesW(to.c_str(), kept)) {
            return fail(shownTo, GetLastError());
        }
        return true;
    }

private:
    bool fail(const fs::path& path, DWORD err) {
        result = {path, winError(err)};
        return false;
    }

    void reportFile() {
        ++m_done.files;
        if (m_progress) {
            m_progress(m_done);
        }
    }

    // CopyFileExW keeps the contents, the attributes and the modification time to the 100 ns.
    bool copyFile(const std::wstring& from, const std::wstring& to, const fs::path& shownTo) {
        m_fileBytes = 0;
        if (!CopyFileExW(from.c_str(), to.c_str(), &WinCopier::onChunk, this, nullptr,
                         COPY_FILE_FAIL_IF_EXISTS)) {
            return fail(shownTo, GetLastError());
        }
        reportFile();
        return true;
    }

    // A link is copied as a link, never followed.
    bool copyLink(const std::wstring& from, const std::wstring& to, DWORD attributes,
                  const fs::path& shownTo) {
        const BOOL ok = isDirectory(attributes)
                            ? CreateDirectoryExW(from.c_str(), to.c_str(), nullptr)
                            : CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr,
                                          COPY_FILE_COPY_SYMLINK | COPY_FILE_FAIL_IF_EXISTS);
        if (!ok) {
            return fail(shownTo, GetLastError());
        }
        reportFile();
        return true;
    }

    static DWORD CALLBACK onChunk(LARGE_INTEGER total, LARGE_INTEGER transferred, LARGE_INTEGER,
                                  LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE, LPVOID self) {
        auto* copier = static_cast<WinCopier*>(self);
        const auto now = static_cast<std::uint64_t>(transferred.QuadPart);
        copier->m_done.bytes += now - copier->m_fileBytes;
        copier->m_fileBytes = now;
        // Big files report as they go; every file reports when it is done.
        if (copier->m_progress && transferred.QuadPart < total.QuadPart) {
            copier->m_progress(copier->m_done);
        }
        return PROGRESS_CONTINUE;
    }

    const ProgressFn& m_progress;
    CopyProgress m_done;
    std::uint64_t m_fileBytes = 0;  // bytes of the current file counted so far
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
    (void)options;
    const fs::path shownFrom = withoutTrailingSeparator(from);
    const fs::path shownTo = withoutTrailingSeparator(to);
    const std::wstring src = extended(shownFrom);
    const std::wstring dst = extended(shownTo);

    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(src.c_str(), GetFileExInfoStandard, &data)) {
        return FileOpResult{from, lastError()};
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
    WinCopier copier(progress);
    // A drive root is hidden and a system folder; its copy should not be.
    const bool fromRoot = !shownFrom.has_relative_path();
    copier.copy(src, dst, data.dwFileAttributes, data.ftLastWriteTime, shownFrom, shownTo,
                !fromRoot);
    return copier.result;
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

FileOpResult RealFileOps::measureTree(const fs::path& path, TreeSize& size,
                                      const std::atomic<bool>* cancel) {
    std::error_code ec;
    const auto top = fs::status(path, ec);
    if (ec) {
        return {path, ec};
    }
    if (!fs::is_directory(top)) {
        ++size.files;
        size.bytes += fs::is_regular_file(top) ? fs::file_size(path, ec) : 0;
        size.allocatedBytes = size.bytes;
        return {};
    }
    ++size.folders;
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (cancel && cancel->load()) {
            return {path, std::make_error_code(std::errc::operation_canceled)};
        }
        const auto st = it->symlink_status(ec);
        if (fs::is_directory(st)) {
            ++size.folders;
        } else {
            ++size.files;
            if (fs::is_regular_file(st)) {
                size.bytes += it->file_size(ec);
            }
        }
    }
    size.allocatedBytes = size.bytes;
    if (ec) {
        return {path, ec};
    }
    return {};
}

std::optional<FileId> fileIdOf(const fs::path& path) {
    HANDLE h = CreateFileW(extended(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
