#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <string>

#include "platform/ControlledFolders.h"

// Controlled Folder Access as Windows Security keeps it: a switch and a list of added folders,
// set by the user or by a policy (the policy wins), besides the folders it always protects.
namespace vantrel {

namespace {

constexpr const wchar_t* kKeys[] = {
    L"SOFTWARE\\Policies\\Microsoft\\Windows Defender\\Windows Defender Exploit Guard\\"
    L"Controlled Folder Access",
    L"SOFTWARE\\Microsoft\\Windows Defender\\Windows Defender Exploit Guard\\"
    L"Controlled Folder Access",
};

// 1: on, blocking; 0 off, 2 only auditing, 3 and 4 guard disk sectors, not folders.
constexpr DWORD kBlocking = 1;

void addKnownFolder(ControlledFolders& controlled, REFKNOWNFOLDERID id) {
    wchar_t* path = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path))) {
        controlled.folders.emplace_back(path);
    }
    CoTaskMemFree(path);
}

void addListedFolders(ControlledFolders& controlled, const std::wstring& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (key + L"\\ProtectedFolders").c_str(), 0, KEY_READ, &h) !=
        ERROR_SUCCESS) {
        return;
    }
    std::wstring name(32767, L'\0');  // the longest name a value may have
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(name.size());
        if (RegEnumValueW(h, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        controlled.folders.emplace_back(name.substr(0, length));
    }
    RegCloseKey(h);
}

}  // namespace

ControlledFolders readSystemControlledFolders() {
    ControlledFolders controlled;
    bool set = false;
    for (const wchar_t* key : kKeys) {
        DWORD value = 0;
        DWORD size = sizeof value;
        if (!set && RegGetValueW(HKEY_LOCAL_MACHINE, key, L"EnableControlledFolderAccess",
                                 RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS) {
            set = true;
            controlled.on = value == kBlocking;
        }
        addListedFolders(controlled, key);
    }
    if (!controlled.on) {
        return controlled;
    }
    const KNOWNFOLDERID* always[] = {
        &FOLDERID_Documents,       &FOLDERID_Pictures,       &FOLDERID_Videos,
        &FOLDERID_Music,           &FOLDERID_Desktop,        &FOLDERID_Favorites,
        &FOLDERID_PublicDocuments, &FOLDERID_PublicPictures, &FOLDERID_PublicVideos,
        &FOLDERID_PublicMusic,     &FOLDERID_PublicDesktop};
    for (const KNOWNFOLDERID* id : always) {
        addKnownFolder(controlled, *id);
    }
    return controlled;
}

}  // namespace vantrel
