#include "platform/ControlledFolders.h"

#include <mutex>
#include <string>
#include <utility>

#include "platform/TextCodec.h"

namespace vantrel {

namespace {

std::mutex g_mutex;
ControlledFoldersReader g_reader;  // a test's, else empty

// The path as compared: "/" for either separator, ASCII letters in lower case, no separator
// at the end.
std::string comparable(const std::filesystem::path& path) {
    std::string text = pathToUtf8(path);
    for (char& c : text) {
        if (c == '\\') {
            c = '/';
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

}  // namespace

#ifndef _WIN32
ControlledFolders readSystemControlledFolders() {
    return {};
}
#else
ControlledFolders readSystemControlledFolders();  // platform/win/WinControlledFolders.cpp
#endif

ControlledFolders readControlledFolders() {
    ControlledFoldersReader reader;
    {
        const std::lock_guard lock(g_mutex);
        reader = g_reader;
    }
    return reader ? reader() : readSystemControlledFolders();
}

ControlledFoldersReader setControlledFoldersReader(ControlledFoldersReader reader) {
    const std::lock_guard lock(g_mutex);
    return std::exchange(g_reader, std::move(reader));
}

std::optional<std::filesystem::path> protectingFolder(const ControlledFolders& controlled,
                                                      const std::filesystem::path& path) {
    if (!controlled.on) {
        return std::nullopt;
    }
    const std::string wanted = comparable(path);
    for (const auto& folder : controlled.folders) {
        const std::string top = comparable(folder);
        if (top.empty() || wanted.compare(0, top.size(), top) != 0) {
            continue;
        }
        if (wanted.size() == top.size() || wanted[top.size()] == '/' || top.back() == '/') {
            return folder;
        }
    }
    return std::nullopt;
}

}  // namespace vantrel
