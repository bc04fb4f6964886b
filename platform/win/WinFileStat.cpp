#include <windows.h>

#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/FileStat.h"
#include "platform/LongPath.h"
#include "platform/TextCodec.h"
#include "platform/win/WinError.h"

namespace vantrel {

namespace {

constexpr std::int64_t kTwoSecondsNs = 2'000'000'000;
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochOffset = 116'444'736'000'000'000LL;

std::int64_t unixNs(const FILETIME& t) {
    const std::int64_t ticks =
        (static_cast<std::int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return (ticks - kEpochOffset) * 100;
}

std::optional<EntryStat> statHandle(const std::filesystem::path& path, bool follow) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (!follow) {
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    }
    HANDLE h = CreateFileW(longPath(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION info;
    FILE_STANDARD_INFO standard{};
    FILE_BASIC_INFO basic{};
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    const bool haveStandard =
        ok && GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard) != 0;
    const bool haveBasic =
        ok && GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) != 0;
    CloseHandle(h);
    if (!ok) {
        return std::nullopt;
    }
    EntryStat e;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT && !follow) {
        e.type = EntryType::Link;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        e.type = EntryType::Folder;
    }
    e.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    e.allocatedBytes = haveStandard ? static_cast<std::uint64_t>(standard.AllocationSize.QuadPart)
                                    : (e.size + 4095) / 4096 * 4096;
    e.mtimeNs = unixNs(info.ftLastWriteTime);
    // The change time moves on any change to the file, even one that keeps its write time.
    e.ctimeNs = haveBasic ? (basic.ChangeTime.QuadPart - kEpochOffset) * 100 : e.mtimeNs;
    e.permissions = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    e.linkCount = info.nNumberOfLinks;
    return e;
}

// FindFirstFileExW reaches any depth in the long form, where the C runtime's directory
// listing stops at 260 characters.
void walkFolder(const std::wstring& folder, const std::filesystem::path& relative,
                const WalkFn& each, const WalkSkipFn& skip) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    std::vector<WIN32_FIND_DATAW> entries;
    do {
        const std::wstring_view name = data.cFileName;
        if (name != L"." && name != L"..") {
            entries.push_back(data);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    for (const WIN32_FIND_DATAW& e : entries) {
        const std::wstring path = folder + L'\\' + e.cFileName;
        const std::filesystem::path below = relative / e.cFileName;
        const bool isFolder = (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                              (e.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        if (skip && skip(below, isFolder)) {
            continue;  // never listed
        }
        each(path, below);
        if (isFolder) {
            walkFolder(path, below, each, skip);
        }
    }
}

}  // namespace

void walkTree(const std::filesystem::path& root, const WalkFn& each, const WalkSkipFn& skip) {
    std::wstring top = longPath(root).native();
    while (!top.empty() && top.back() == L'\\') {
        top.pop_back();  // each name is joined with a separator of its own
    }
    walkFolder(top, {}, each, skip);
}

std::optional<EntryStat> statEntry(const std::filesystem::path& path) {
    return statHandle(path, false);
}

std::optional<EntryStat> statFollowed(const std::filesystem::path& path) {
    return statHandle(path, true);
}

bool keepsOwners() {
    return false;
}

LinkSupport probeLinks(const std::filesystem::path& folder,
                       const std::filesystem::path& probeName) {
    LinkSupport support;
    const auto file = longPath(folder / probeName);
    auto link = file;
    link += L".link";
    DeleteFileW(link.c_str());
    DeleteFileW(file.c_str());
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        throw std::system_error(windowsError(GetLastError()), pathToUtf8(folder / probeName));
    }
    // An odd second in 2023 with a fraction: FAT and exFAT keep 2-second times.
    const std::int64_t ticks = kEpochOffset + 17'000'000'010'000'000LL + 1'234'567;
    FILETIME wanted{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const bool timeSet = SetFileTime(h, nullptr, nullptr, &wanted) != 0;
    CloseHandle(h);
    if (timeSet) {
        if (const auto st = statFollowed(file)) {
            const std::int64_t lost = st->mtimeNs > unixNs(wanted) ? st->mtimeNs - unixNs(wanted)
                                                                   : unixNs(wanted) - st->mtimeNs;
            support.timeToleranceNs = lost >= 500'000'000 ? kTwoSecondsNs
                                      : lost > 0          ? 1'000'000'000
                                                          : 0;
        }
    }
    support.hardLinks = CreateHardLinkW(link.c_str(), file.c_str(), nullptr) != 0;
    DeleteFileW(link.c_str());
    DeleteFileW(file.c_str());
    return support;
}

}  // namespace vantrel
