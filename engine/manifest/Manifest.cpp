#include "engine/manifest/Manifest.h"

#include <algorithm>

#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

bool byPath(const ManifestEntry& a, const ManifestEntry& b) {
    return a.path < b.path;
}

}  // namespace

SourceFacts sourceFactsOf(const EntryStat& source) {
    return {source.size,        source.mtimeNs, source.ctimeNs,
            source.permissions, source.owner,   source.group};
}

EntryAttributes attributesOf(const EntryStat& st) {
    return {st.permissions, st.owner, st.group};
}

char typeLetter(EntryType type) {
    // In the order of EntryType: File, Folder, Link, Special.
    static constexpr char kLetters[] = {'f', 'd', 'l', 's'};
    return kLetters[static_cast<std::size_t>(type)];
}

std::string manifestPath(const fs::path& relative) {
    std::string text = pathToUtf8(relative);
#ifdef _WIN32
    std::replace(text.begin(), text.end(), '\\', '/');
#endif
    return text;
}

std::string linkTarget(FileOps& files, const fs::path& link) {
    const auto target = files.readLink(link);
    return target ? pathToUtf8(*target) : std::string();
}

bool isSortedByPath(const Manifest& entries) {
    return std::is_sorted(entries.begin(), entries.end(), byPath);
}

const ManifestEntry* findEntry(const Manifest& sorted, std::string_view path) {
    const auto it = std::lower_bound(
        sorted.begin(), sorted.end(), path,
        [](const ManifestEntry& e, std::string_view wanted) { return e.path < wanted; });
    return it != sorted.end() && it->path == path ? &*it : nullptr;
}

void sortByPath(Manifest& entries) {
    if (!isSortedByPath(entries)) {
        std::sort(entries.begin(), entries.end(), byPath);
    }
}

}  // namespace vantrel
