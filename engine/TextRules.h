#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "platform/TextCodec.h"

namespace vantrel {

// Text rules shared by the engine's operations.

// Removes leading and trailing bytes up to 0x20 (blanks and control characters).
inline std::string_view trimControls(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) {
        s.remove_prefix(1);
    }
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) {
        s.remove_suffix(1);
    }
    return s;
}

// `text` with each character that `escapes` names written as its escape; the rest as it is.
inline std::string escapedWith(std::string_view text,
                               std::initializer_list<std::pair<char, std::string_view>> escapes) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto* escape = escapes.begin();
        while (escape != escapes.end() && escape->first != c) {
            ++escape;
        }
        if (escape != escapes.end()) {
            out += escape->second;
        } else {
            out += c;
        }
    }
    return out;
}

// A path separator in settings text: "/" everywhere, and "\" too on Windows.
inline bool isPathSeparator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

// A path from the settings or the records; relative paths count from the working directory.
inline std::filesystem::path resolveInWorkDir(const std::filesystem::path& workDir,
                                              std::string_view text) {
    const auto p = pathFromUtf8(text);
    return p.is_absolute() ? p : workDir / p;
}

}  // namespace vantrel
