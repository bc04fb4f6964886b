#pragma once

// What the Windows file operations share: long paths, folder listings, attribute tests and the
// mapping of Windows' error codes into the copy's faults.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/CopyFaults.h"
#include "platform/LongPath.h"
#include "platform/win/WinError.h"

namespace vantrel::win {

// The long form, which the calls below need for paths past 260 characters.
inline std::wstring extended(const std::filesystem::path& p) {
    return longPath(p).native();
}

inline std::wstring child(const std::wstring& folder, const wchar_t* name) {
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\') {
        path += L'\\';
    }
    return path + name;
}

inline bool isDots(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Calls `each(findData)` for every entry of the folder but "." and ".."; `each` returns false
// to stop. Returns the error that stopped the listing, or 0.
template <typename Fn>
DWORD forEachEntry(const std::wstring& folder, Fn&& each) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(child(folder, L"*").c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    do {
        if (!isDots(data.cFileName) && !each(data)) {
            FindClose(find);
            return 0;
        }
    } while (FindNextFileW(find, &data));
    const DWORD err = GetLastError();
    FindClose(find);
    return err == ERROR_NO_MORE_FILES ? 0 : err;
}

inline bool isDirectory(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

inline bool isLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The attributes that stand for permission bits and visibility.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens a file or folder (a link is followed) for `access`, sharing it with everyone;
// folders need FILE_FLAG_BACKUP_SEMANTICS to be opened at all.
inline HANDLE openShared(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// 100 ns ticks since 1601 as nanoseconds since 1970.
inline std::int64_t nanosecondsOfTicks(std::int64_t ticks) {
    return (ticks - 116444736000000000) * 100;
}

inline std::int64_t nanoseconds(const FILETIME& t) {
    return nanosecondsOfTicks(
        static_cast<std::int64_t>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime));
}

inline std::uint64_t sizeOf(DWORD high, DWORD low) {
    return (std::uint64_t{high} << 32) | low;
}

inline bool isMissing(DWORD err) {
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

// A Windows error code as the copy's policy (platform/CopyFaults.h) reads it.
inline OsError osError(DWORD err) {
    switch (err) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return OsError::Missing;
        case ERROR_ACCESS_DENIED:
            return OsError::Denied;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return OsError::Held;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_DIRECTORY:
            return OsError::BadName;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_WRITE_PROTECT:
            return OsError::TargetFull;
        case ERROR_TOO_MANY_LINKS:
        case ERROR_NOT_SAME_DEVICE:
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
            return OsError::LinkRefused;
        default:
            return OsError::Other;
    }
}

}  // namespace vantrel::win
