#include "winshell/AppIcon.h"

#include "winshell/Resource.h"

namespace vantrel {

IconHandle loadIcon(HINSTANCE module, const wchar_t* name, int size) {
    // The common controls' own call, not in MinGW's import library: found where it lives.
    using LoadScaled = HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, int, HICON*);
    static const auto loadScaled = reinterpret_cast<LoadScaled>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"comctl32.dll"), "LoadIconWithScaleDown")));
    HICON icon = nullptr;
    if (loadScaled == nullptr || FAILED(loadScaled(module, name, size, size, &icon))) {
        icon = static_cast<HICON>(
            LoadImageW(module, name, IMAGE_ICON, size, size, module == nullptr ? LR_SHARED : 0));
        if (module == nullptr) {
            icon = CopyIcon(icon);  // a shared icon is never destroyed; its copy is ours
        }
    }
    return IconHandle(icon);
}

IconHandle appIcon(int size) {
    return loadIcon(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_VANTREL), size);
}

}  // namespace vantrel
