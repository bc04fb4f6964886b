#pragma once

#include <filesystem>
#include <string_view>

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
