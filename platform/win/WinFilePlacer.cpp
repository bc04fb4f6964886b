#include <windows.h>

#include <string>

#include "platform/FilePlacer.h"
#include "platform/LongPath.h"
#include "platform/win/WinError.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

FileOpResult failure(const fs::path& path, DWORD err) {
    if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) {
        return {path, std::make_error_code(std::errc::file_exists)};
    }
    return {path, windowsError(err)};
}

FileOpResult lastFailure(const fs::path& path) {
    return failure(path, GetLastError());
}

// Nanoseconds since 1970 as FILETIME (100 ns since 1601).
FILETIME fileTimeOf(std::int64_t ns) {
    const std::uint64_t ticks = static_cast<std::uint64_t>(ns / 100 + 116444736000000000LL);
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
    t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return t;
}

// Sets the modification time of a file or folder, a link itself not followed.
DWORD setWriteTime(const std::wstring& path, const FILETIME& written) {
    HANDLE h = CreateFileW(
        path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    const DWORD err = SetFileTime(h, nullptr, nullptr, &written) ? 0 : GetLastError();
    CloseHandle(h);
    return err;
}

DWORD flushFile(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    const DWORD err = FlushFileBuffers(h) ? 0 : GetLastError();
    CloseHandle(h);
    return err;
}

// A temporary name of ours from an earlier attempt goes, read-only or not.
void clearTemp(const std::wstring& temp) {
    const DWORD attributes = GetFileAttributesW(temp.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return;
    }
    SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(temp.c_str());
}

}  // namespace

FileOpResult RealFilePlacer::writeFile(const fs::path& from, const fs::path& temp) {
    const std::wstring source = longPath(from).native();
    const std::wstring target = longPath(temp).native();
    WIN32_FILE_ATTRIBUTE_DATA like;
    if (!GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &like)) {
        return lastFailure(from);
    }
    clearTemp(target);
    // A new file with the contents; a read-only copy's attribute comes along and is set again
    // below from the permission bits.
    if (!CopyFileExW(source.c_str(), target.c_str(), nullptr, nullptr, nullptr,
                     COPY_FILE_FAIL_IF_EXISTS)) {
        const DWORD err = GetLastError();
        const bool readSide = err == ERROR_FILE_NOT_FOUND || err == ERROR_SHARING_VIOLATION ||
                              (err == ERROR_ACCESS_DENIED &&
                               GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES);
        return failure(readSide ? from : temp, err);
    }
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return lastFailure(temp);
    }
    // A read-only copy is opened for writing by lifting the attribute for the moment. On
    // disk before it takes its name: this system has no flush of a whole volume.
    SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    DWORD err = flushFile(target);
    if (err == 0) {
        err = setWriteTime(target, like.ftLastWriteTime);
    }
    if (err != 0) {
        clearTemp(target);
        return failure(temp, err);
    }
    if (!SetFileAttributesW(target.c_str(), attributes)) {
        const FileOpResult failed = lastFailure(temp);
        clearTemp(target);
        return failed;
    }
    return {};
}

FileOpResult RealFilePlacer::writeLink(const fs::path& from, const fs::path& temp) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(longPath(from), ec);
    if (ec) {
        return {from, ec};
    }
    const std::wstring made = longPath(temp).native();
    clearTemp(made);
    const bool folder =
        (GetFileAttributesW(longPath(from).c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (folder) {
        flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    }
    if (!CreateSymbolicLinkW(made.c_str(), target.c_str(), flags)) {
        return lastFailure(temp);
    }
    WIN32_FILE_ATTRIBUTE_DATA like;
    if (GetFileAttributesExW(longPath(from).c_str(), GetFileExInfoStandard, &like)) {
        setWriteTime(made, like.ftLastWriteTime);
    }
    return {};
}

FileOpResult RealFilePlacer::place(const fs::path& temp, const fs::path& to, bool replace) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!MoveFileExW(longPath(temp).c_str(), longPath(to).c_str(), flags)) {
        return lastFailure(to);
    }
    return {};
}

FileOpResult RealFilePlacer::makeFolder(const fs::path& folder, std::uint32_t) {
    if (!CreateDirectoryW(longPath(folder).c_str(), nullptr)) {
        return lastFailure(folder);
    }
    return {};
}

FileOpResult RealFilePlacer::finishFolder(const fs::path& folder, const EntryStat& like) {
    // A folder's read-only attribute means nothing to Windows; only its time is kept.
    if (const DWORD err = setWriteTime(longPath(folder).native(), fileTimeOf(like.mtimeNs));
        err != 0) {
        return failure(folder, err);
    }
    return {};
}

FileOpResult RealFilePlacer::removeFile(const fs::path& file) {
    const std::wstring path = longPath(file).native();
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(path.c_str()) && !RemoveDirectoryW(path.c_str())) {
        const DWORD err = GetLastError();
        if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) {
            return failure(file, err);
        }
    }
    return {};
}

}  // namespace vantrel
