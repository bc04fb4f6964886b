#include <windows.h>

#include <optional>
#include <string>

#include "platform/FileOps.h"
#include "platform/FileOpsCommon.h"
#include "platform/win/WinCommon.h"

// Removing, renaming, flushing, counting and identifying entries on Windows; the copy lives in
// WinTreeCopier.cpp.
namespace vantrel {

namespace fs = std::filesystem;
using detail::withoutTrailingSeparator;
using namespace win;

namespace {

std::error_code lastError() {
    return windowsError(GetLastError());
}

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
        result = {path, windowsError(err)};
        return false;
    }
};

}  // namespace

FileOpResult RealFileOps::removeTree(const fs::path& path) {
    const std::wstring p = extended(withoutTrailingSeparator(path));
    const DWORD attributes = GetFileAttributesW(p.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD err = GetLastError();
        return isMissing(err) ? FileOpResult{} : FileOpResult{path, windowsError(err)};
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
    if (err != 0 && sourceFault(osError(err)) == EntryFault::Run) {
        return {shown, windowsError(err)};
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
        return {path, windowsError(err)};
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
