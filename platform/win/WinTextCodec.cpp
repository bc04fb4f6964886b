#include <windows.h>

#include <stdexcept>

#include "platform/TextCodec.h"

namespace vantrel {

namespace {

// GB18030 where the system has it; GBK (936) otherwise.
UINT gbCodePage() {
    static const UINT page = IsValidCodePage(54936) ? 54936 : 936;
    return page;
}

std::wstring toWide(UINT codePage, std::string_view bytes, const char* what) {
    if (bytes.empty()) {
        return {};
    }
    const int inSize = static_cast<int>(bytes.size());
    const int n =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), inSize, nullptr, 0);
    if (n <= 0) {
        throw std::runtime_error(what);
    }
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), inSize, wide.data(), n);
    return wide;
}

std::string fromWide(UINT codePage, const std::wstring& wide, const char* what) {
    if (wide.empty()) {
        return {};
    }
    // UTF-8 and GB18030 accept only these flags; GBK must say when a character has no mapping.
    const bool exact = codePage == CP_UTF8 || codePage == 54936;
    const DWORD flags = exact ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = exact ? nullptr : &usedDefault;
    const int inSize = static_cast<int>(wide.size());
    const int n = WideCharToMultiByte(codePage, flags, wide.data(), inSize, nullptr, 0, nullptr,
                                      usedDefaultOut);
    if (n <= 0 || usedDefault) {
        throw std::runtime_error(what);
    }
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, flags, wide.data(), inSize, out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace

std::string gbkToUtf8(std::string_view bytes) {
    static const char* const what = "文本不是有效的 GBK/GB18030 编码";
    return fromWide(CP_UTF8, toWide(gbCodePage(), bytes, what), what);
}

std::string utf8ToGbk(std::string_view text) {
    static const char* const what = "文本不是有效的 UTF-8 编码";
    if (!isValidUtf8(text)) {
        throw std::runtime_error(what);
    }
    return fromWide(gbCodePage(), toWide(CP_UTF8, text, what), "文本无法以 GB18030 编码");
}

std::string pathCaseKey(std::string_view utf8) {
    if (utf8.empty() || !isValidUtf8(utf8)) {
        return std::string(utf8);
    }
    std::wstring wide = toWide(CP_UTF8, utf8, "");
    const int n = static_cast<int>(wide.size());
    std::wstring upper(wide.size(), L'\0');
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), n, upper.data(), n,
                      nullptr, nullptr, 0) != n) {
        return std::string(utf8);
    }
    return fromWide(CP_UTF8, upper, "");
}

}  // namespace vantrel
