#include "platform/UserFolders.h"

#include <cstdlib>

namespace vantrel {

namespace fs = std::filesystem;

fs::path userConfigFolder() {
#ifdef _WIN32
    // The wide environment: the ANSI one cannot hold every user name.
    const wchar_t* appData = _wgetenv(L"APPDATA");
    if (appData == nullptr || *appData == L'\0') {
        return {};
    }
    return fs::path(appData) / L"Vantrel";
#else
    // An XDG_CONFIG_HOME that is not absolute is to be ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && *config == '/') {
        return fs::path(config) / "vantrel";
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home != '/') {
        return {};
    }
    return fs::path(home) / ".config" / "vantrel";
#endif
}

}  // namespace vantrel
