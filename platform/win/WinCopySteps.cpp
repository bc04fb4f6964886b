#include "platform/win/WinCopySteps.h"

#include <algorithm>
#include <utility>

#include "platform/FileOps.h"
#include "platform/win/WinCommon.h"

namespace vantrel::win {

namespace {

FILETIME fileTime(const LARGE_INTEGER& t) {
    return {t.LowPart, static_cast<DWORD>(t.HighPart)};
}

// Reads a folder with each entry's times, size and attributes, 64 KiB of entries per call,
// so that no file needs to be opened to be described.
DWORD listWithTimes(const std::wstring& folder, std::vector<Listed>& entries) {
    HANDLE h = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));
    const auto bytes = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
    while (GetFileInformationByHandleEx(h, FileIdBothDirectoryInfo, buffer.data(), bytes)) {
        const auto* at = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (!isDots(name.c_str())) {
                Listed e;
                e.name = std::move(name);
                e.attributes = info->FileAttributes;
                e.written = fileTime(info->LastWriteTime);
                e.changedNs = nanosecondsOfTicks(info->ChangeTime.QuadPart);
                e.size = static_cast<std::uint64_t>(info->EndOfFile.QuadPart);
                e.allocated = static_cast<std::uint64_t>(info->AllocationSize.QuadPart);
                entries.push_back(std::move(e));
            }
            if (info->NextEntryOffset == 0) {
                break;
            }
            at += info->NextEntryOffset;
        }
    }
    const DWORD err = GetLastError();
    CloseHandle(h);
    return err == ERROR_NO_MORE_FILES ? 0 : err;
}

}  // namespace

DWORD listFolder(const std::wstring& folder, std::vector<Listed>& entries) {
    const DWORD err = listWithTimes(folder, entries);
    if (err != ERROR_INVALID_PARAMETER && err != ERROR_NOT_SUPPORTED &&
        err != ERROR_INVALID_FUNCTION && err != ERROR_INVALID_LEVEL) {
        return err;
    }
    entries.clear();
    return forEachEntry(folder, [&](const WIN32_FIND_DATAW& data) {
        Listed e;
        e.name = data.cFileName;
        e.attributes = data.dwFileAttributes;
        e.written = data.ftLastWriteTime;
        e.size = sizeOf(data.nFileSizeHigh, data.nFileSizeLow);
        e.allocated = (e.size + 4095) / 4096 * 4096;
        entries.push_back(std::move(e));
        return true;
    });
}

EntryStat statOfListed(const Listed& e) {
    EntryStat st;
    st.size = e.size;
    st.allocatedBytes = e.allocated;
    st.mtimeNs = nanoseconds(e.written);
    st.ctimeNs = e.changedNs.value_or(st.mtimeNs);
    st.permissions = (e.attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    return st;
}

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

DWORD setFolderTime(const std::wstring& folder, const FILETIME& written) {
    HANDLE h = openShared(folder, FILE_WRITE_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    const DWORD err = SetFileTime(h, nullptr, nullptr, &written) ? 0 : GetLastError();
    CloseHandle(h);
    return err;
}

DWORD sourceReadError(const std::wstring& from) {
    HANDLE h = openShared(from, GENERIC_READ);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    CloseHandle(h);
    return 0;
}

DWORD flushByReopening(const std::wstring& path, DWORD attributes) {
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly && !SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return GetLastError();
    }
    DWORD err = 0;
    for (int attempt = 0;; ++attempt) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            err = FlushFileBuffers(h) ? 0 : GetLastError();
            CloseHandle(h);
            break;
        }
        err = GetLastError();
        if (osError(err) != OsError::Held) {
            break;
        }
        if (attempt == 4) {
            err = 0;
            break;
        }
        Sleep(100);
    }
    if (readOnly && !SetFileAttributesW(path.c_str(), attributes) && err == 0) {
        err = GetLastError();
    }
    return err;
}

DWORD linkFromPrevious(const CopyOptions& options, const std::wstring& to,
                       const std::filesystem::path& rel, DWORD attributes, const FILETIME& written,
                       std::uint64_t size, const EntryStat* source) {
    if (options.shareFrom.empty()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const std::wstring counterpart =
        extended(rel.empty() ? options.shareFrom : options.shareFrom / rel);
    if (options.mayShare) {
        const std::filesystem::path previousPath(counterpart);
        const auto previous = statEntry(previousPath);
        const auto id = fileIdOf(previousPath);
        if (!source || !previous || !id || previous->type != EntryType::File ||
            !options.mayShare(rel, *source, *previous, *id)) {
            return ERROR_FILE_NOT_FOUND;
        }
    } else {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(counterpart.c_str(), GetFileExInfoStandard, &data) ||
            isDirectory(data.dwFileAttributes) || isLink(data.dwFileAttributes) ||
            sizeOf(data.nFileSizeHigh, data.nFileSizeLow) != size ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) !=
                (attributes & FILE_ATTRIBUTE_READONLY)) {
            return ERROR_FILE_NOT_FOUND;
        }
        const std::int64_t diff = nanoseconds(data.ftLastWriteTime) - nanoseconds(written);
        const std::int64_t tolerance = std::max<std::int64_t>(options.shareTimeToleranceNs, 0);
        if (diff > tolerance || diff < -tolerance) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
    return CreateHardLinkW(to.c_str(), counterpart.c_str(), nullptr) ? 0 : GetLastError();
}

}  // namespace vantrel::win
