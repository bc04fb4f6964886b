#pragma once

// Windows error codes as std::error_code, for the platform layer's Windows code.
#ifdef _WIN32

#include <windows.h>

#include <string>
#include <system_error>

namespace vantrel {

// Windows' own error codes (GetLastError). Its messages are the system's own, in UTF-8: the
// C++ library's system_category gives them in the ANSI code page, which would garble Chinese
// text. Codes compare equal to their errno equivalents (ERROR_ACCESS_DENIED to
// std::errc::permission_denied) through default_error_condition.
class WindowsErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "windows"; }

    std::string message(int code) const override {
        wchar_t* buf = nullptr;
        const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                           FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                       nullptr, static_cast<DWORD>(code), 0,
                                       reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
        std::wstring text(buf != nullptr ? buf : L"", n);
        LocalFree(buf);
        while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' ||
                                 text.back() == L' ' || text.back() == L'.')) {
            text.pop_back();
        }
        if (text.empty()) {
            return "Windows error " + std::to_string(code);
        }
        const int size = static_cast<int>(text.size());
        const int bytes =
            WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), bytes, nullptr, nullptr);
        return utf8;
    }

    std::error_condition default_error_condition(int code) const noexcept override {
        return std::system_category().default_error_condition(code);
    }
};

inline const std::error_category& windowsErrorCategory() {
    static const WindowsErrorCategory category;
    return category;
}

// A Windows error code (GetLastError) as an error_code that keeps the code itself, so that a
// reason shown to the user names the code Windows gave, not a C library's stand-in for it.
inline std::error_code windowsError(DWORD code) {
    return {static_cast<int>(code), windowsErrorCategory()};
}

}  // namespace vantrel

#endif
