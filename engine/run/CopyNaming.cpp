#include "engine/run/CopyNaming.h"

#include <algorithm>

#include "engine/TextRules.h"
#include "engine/Texts.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

// Shortens `s` to at most `n` bytes without splitting a UTF-8 character.
std::string_view cutAt(std::string_view s, size_t n) {
    if (n >= s.size()) {
        return s;
    }
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) {
        --n;
    }
    return s.substr(0, n);
}

#ifdef _WIN32
constexpr char kPreferredSeparator = '\\';
#else
constexpr char kPreferredSeparator = '/';
#endif

}  // namespace

std::string_view withoutTrailingSeparators(std::string_view path) {
    size_t end = path.size();
    while (end > 0 && isPathSeparator(path[end - 1])) {
        --end;
    }
    // A root ("/", "D:\") keeps its separator: it is the whole name.
    if (end == path.size() || end == 0 || path[end - 1] == ':') {
        return end == 0 ? path.substr(0, std::min<size_t>(path.size(), 1))
                        : path.substr(0, std::min(path.size(), end + 1));
    }
    return path.substr(0, end);
}

std::string NameTail(std::string_view sourcePath) {
    sourcePath = withoutTrailingSeparators(sourcePath);
    const size_t limit = trimControls(sourcePath).size();
    size_t pos = sourcePath.size();
    while (pos > 0 && !isPathSeparator(sourcePath[pos - 1])) {
        --pos;
    }
    if (pos == 0) {
        return std::string(cutAt(sourcePath, limit));
    }
    return std::string(cutAt(sourcePath.substr(pos - 1), limit));
}

std::string makeTargetPath(std::string_view sourcePath, std::string_view targetFolder,
                           LocalTime when) {
    std::string path(targetFolder);
    std::string tail = NameTail(sourcePath);
    // Exactly one separator between the folder and the name: a folder that ends in its
    // separator ("E:\bak\", a drive root "E:\") takes no second one, and a source written
    // without any ("data", relative to the working directory) gets one.
    const bool folderEnds = !path.empty() && isPathSeparator(path.back());
    const bool tailStarts = !tail.empty() && isPathSeparator(tail.front());
    if (folderEnds && tailStarts) {
        tail.erase(0, 1);
    } else if (!path.empty() && !folderEnds && !tailStarts) {
        // The separator the folder is written with, else the system's own.
        const auto last = std::find_if(path.rbegin(), path.rend(), isPathSeparator);
        path += last != path.rend() ? *last : kPreferredSeparator;
    }
    path += tail;
    path += '_';
    path += dateDigits(when);
    return path;
}

std::string copyStem(std::string_view sourcePath) {
    std::string tail = NameTail(sourcePath);
    if (!tail.empty() && isPathSeparator(tail.front())) {
        tail.erase(0, 1);
    }
    return tail;
}

std::optional<CopyName> parseCopyName(std::string_view text) {
    if (text.size() < 9 || text[text.size() - 9] != '_') {
        return std::nullopt;
    }
    const std::string_view digits = text.substr(text.size() - 8);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return CopyName{text.substr(0, text.size() - 9), digits};
}

bool looksLikeCopy(std::string_view path) {
    size_t start = path.size();
    while (start > 0 && !isPathSeparator(path[start - 1])) {
        --start;
    }
    return parseCopyName(path.substr(start)).has_value();
}

bool isCopyOf(std::string_view name, std::string_view stem) {
    const auto parsed = parseCopyName(name);
    return parsed && parsed->stem == stem;
}

std::string pathKey(const std::filesystem::path& p) {
    auto key = pathCaseKey(pathToUtf8(p.lexically_normal()));
#ifdef _WIN32
    std::replace(key.begin(), key.end(), '\\', '/');
#endif
    while (key.size() > 1 && key.back() == '/') {
        key.pop_back();
    }
    return key;
}

bool isWithin(const std::filesystem::path& inner, const std::filesystem::path& outer) {
    const std::string in = pathKey(inner);
    std::string out = pathKey(outer);
    if (in == out) {
        return true;
    }
    if (out.empty() || out.back() != '/') {
        out += '/';
    }
    return in.starts_with(out);
}

}  // namespace vantrel
