#include "winshell/SingleInstance.h"

#include <cstdint>
#include <cwchar>
#include <string_view>

#include "engine/places/JobPlaces.h"
#include "winshell/ControlIds.h"
#include "winshell/Messages.h"
#include "winshell/WinText.h"

namespace vantrel {

namespace {

constexpr wchar_t kMark[] = L"Vantrel.WorkingDirectory";

struct Search {
    HANDLE mark;
    HWND found = nullptr;
};

BOOL CALLBACK findMarked(HWND window, LPARAM lParam) {
    auto& search = *reinterpret_cast<Search*>(lParam);
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    if (std::wstring_view(cls) == kMainWindowClass && GetPropW(window, kMark) == search.mark) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

// The key is the one the copies' staging folders are named with: case and spelling of the
// path do not matter.
SingleInstance::SingleInstance(FileOps& files, const std::filesystem::path& workDir)
    : m_key(toWide(jobKey(files, workDir))) {}

bool SingleInstance::claim() {
    m_mutex.reset(CreateMutexW(nullptr, FALSE, (L"Local\\Vantrel-" + m_key).c_str()));
    return m_mutex && GetLastError() != ERROR_ALREADY_EXISTS;
}

// A window property holds a number that any process can read: the key's eight hex digits,
// with a bit above them so that it is never 0.
HANDLE SingleInstance::markValue() const {
    const auto value = std::wcstoull(m_key.c_str(), nullptr, 16) | (std::uint64_t{1} << 32);
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

void SingleInstance::mark(HWND window) const {
    SetPropW(window, kMark, markValue());
}

bool SingleInstance::activateFirst(const std::wstring& restorePath) const {
    // The first process may still be making its window.
    for (int attempt = 0; attempt < 50; ++attempt) {
        Search search{markValue()};
        EnumWindows(findMarked, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            DWORD process = 0;
            GetWindowThreadProcessId(search.found, &process);
            AllowSetForegroundWindow(process);
            if (restorePath.empty()) {
                PostMessageW(search.found, kActivateMessage, 0, 0);
                return true;
            }
            COPYDATASTRUCT data{kRestorePathData,
                                static_cast<DWORD>(restorePath.size() * sizeof(wchar_t)),
                                const_cast<wchar_t*>(restorePath.data())};
            DWORD_PTR answer = 0;
            return SendMessageTimeoutW(search.found, WM_COPYDATA, 0,
                                       reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, 10000,
                                       &answer) != 0 &&
                   answer == TRUE;
        }
        Sleep(100);
    }
    return false;
}

}  // namespace vantrel
