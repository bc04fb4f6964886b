#include <windows.h>

#include "platform/FileOps.h"
#include "platform/LongPath.h"
#include "platform/win/WinError.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// FILETIME as nanoseconds since 1970.
std::int64_t nanosecondsOf(const FILETIME& t) {
    const std::int64_t ticks =
        static_cast<std::int64_t>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
    return (ticks - 116444736000000000LL) * 100;
}

}  // namespace

std::error_code RealFileOps::listStats(const fs::path& folder, std::vector<FolderEntry>& entries) {
    std::wstring pattern = longPath(folder).native();
    if (!pattern.empty() && pattern.back() != L'\\') {
        pattern += L'\\';
    }
    pattern += L'*';
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        return windowsError(GetLastError());
    }
    do {
        const wchar_t* n = data.cFileName;
        if (n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0'))) {
            continue;
        }
        const DWORD a = data.dwFileAttributes;
        EntryStat st;
        st.type = (a & FILE_ATTRIBUTE_REPARSE_POINT) ? EntryType::Link
                  : (a & FILE_ATTRIBUTE_DIRECTORY)   ? EntryType::Folder
                                                     : EntryType::File;
        st.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        st.allocatedBytes = (st.size + 4095) / 4096 * 4096;
        st.mtimeNs = nanosecondsOf(data.ftLastWriteTime);
        st.permissions = (a & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
        entries.push_back({fs::path(n), st});
    } while (FindNextFileW(find, &data));
    const DWORD err = GetLastError();
    FindClose(find);
    return err == ERROR_NO_MORE_FILES ? std::error_code() : windowsError(err);
}

}  // namespace vantrel
