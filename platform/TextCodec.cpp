#include "platform/TextCodec.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>

#include <cerrno>
#endif

namespace vantrel {

namespace {

#ifdef _WIN32

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

#else

// Converts the whole input with iconv; any invalid or incomplete sequence throws.
std::string convert(const char* to, const char* from, std::string_view bytes, const char* what) {
    if (bytes.empty()) {
        return {};
    }
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw std::runtime_error(std::string("文本编码转换不可用：") + from + " -> " + to);
    }
    std::string out(bytes.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    size_t done = 0;
    bool flushing = false;  // input consumed; a last call with no input ends any shift state
    for (;;) {
        char* outPtr = out.data() + done;
        size_t outLeft = out.size() - done;
        const size_t rc = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                   : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        const int err = errno;
        done = static_cast<size_t>(outPtr - out.data());
        if (rc != static_cast<size_t>(-1)) {
            if (flushing) {
                break;
            }
            flushing = inLeft == 0;
            continue;
        }
        if (err == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        iconv_close(cd);
        throw std::runtime_error(what);
    }
    iconv_close(cd);
    out.resize(done);
    return out;
}

#endif

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        char32_t cp;
        char32_t min;
        if ((c & 0xE0) == 0xC0) {
            extra = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (end - p <= extra) {
            return false;
        }
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and values past Unicode are not UTF-8.
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        p += extra + 1;
    }
    return true;
}

std::string gbkToUtf8(std::string_view bytes) {
    static const char* const what = "文本不是有效的 GBK/GB18030 编码";
#ifdef _WIN32
    return fromWide(CP_UTF8, toWide(gbCodePage(), bytes, what), what);
#else
    return convert("UTF-8", "GB18030", bytes, what);
#endif
}

std::string utf8ToGbk(std::string_view text) {
    static const char* const what = "文本不是有效的 UTF-8 编码";
    if (!isValidUtf8(text)) {
        throw std::runtime_error(what);
    }
#ifdef _WIN32
    return fromWide(gbCodePage(), toWide(CP_UTF8, text, what), "文本无法以 GB18030 编码");
#else
    return convert("GB18030", "UTF-8", text, "文本无法以 GB18030 编码");
#endif
}

std::filesystem::path pathFromUtf8(std::string_view utf8) {
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string pathToUtf8(const std::filesystem::path& path) {
    const std::u8string s = path.u8string();
    return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

std::string pathCaseKey(std::string_view utf8) {
#ifdef _WIN32
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
#else
    return std::string(utf8);
#endif
}

}  // namespace vantrel
