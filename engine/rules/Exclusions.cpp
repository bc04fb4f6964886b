#include "engine/rules/Exclusions.h"

#include <algorithm>
#include <memory>

#include "engine/BackupError.h"
#include "engine/Settings.h"
#include "engine/TextRules.h"
#include "engine/Texts.h"
#include "engine/places/RunTarget.h"
#include "platform/IniFile.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kAnyFolders = "**";

// Bytes of the UTF-8 character that starts with `lead`.
std::size_t charLength(unsigned char lead) {
    return lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// Whether `name` matches `glob`: "*" any run of characters, "?" one character (not one byte).
// The classic walk that, on a mismatch, lets the last "*" take one character more.
bool globMatches(std::string_view glob, std::string_view name) {
    std::size_t g = 0, n = 0;
    std::size_t starG = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (g < glob.size() && glob[g] == '*') {
            starG = ++g;
            starN = n;
        } else if (g < glob.size() && glob[g] == '?') {
            ++g;
            n += charLength(static_cast<unsigned char>(name[n]));
        } else if (g < glob.size() && glob[g] == name[n]) {
            ++g;
            ++n;
        } else if (starG != std::string_view::npos) {
            g = starG;
            starN += charLength(static_cast<unsigned char>(name[starN]));
            n = starN;
        } else {
            return false;
        }
    }
    while (g < glob.size() && glob[g] == '*') {
        ++g;
    }
    return g == glob.size() && n == name.size();
}

// Whether the folder levels `path` match `parts`, each part one level and "**" any number
// of them: the same walk as globMatches, a level for a character.
bool levelsMatch(const std::vector<std::string>& parts, const std::vector<std::string_view>& path) {
    std::size_t p = 0, l = 0;
    std::size_t starP = std::string_view::npos, starL = 0;
    while (l < path.size()) {
        if (p < parts.size() && parts[p] == kAnyFolders) {
            starP = ++p;
            starL = l;
        } else if (p < parts.size() && globMatches(parts[p], path[l])) {
            ++p;
            ++l;
        } else if (starP != std::string_view::npos) {
            p = starP;
            l = ++starL;
        } else {
            return false;
        }
    }
    while (p < parts.size() && parts[p] == kAnyFolders) {
        ++p;
    }
    return p == parts.size();
}

std::vector<std::string_view> levelsOf(std::string_view relative) {
    std::vector<std::string_view> levels;
    for (std::size_t start = 0; start <= relative.size();) {
        const std::size_t end = std::min(relative.find('/', start), relative.size());
        if (end > start) {
            levels.push_back(relative.substr(start, end - start));
        }
        start = end + 1;
    }
    return levels;
}

std::string genericUtf8(const fs::path& p) {
    const std::u8string s = p.generic_u8string();
    return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

// Names compare without case where the file system's own comparison folds it.
bool namesFoldCase() {
    return pathCaseKey("a") != "a";
}

std::string malformed(std::string_view pattern, std::string_view why) {
    return "排除规则“" + std::string(pattern) + "”有误：" + std::string(why) + "！";
}

}  // namespace

std::optional<std::string> Exclusions::problem(std::string_view text) {
    try {
        Exclusions rules(text);
    } catch (const BackupError& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

Exclusions::Exclusions(std::string_view text) : m_text(text), m_foldCase(namesFoldCase()) {
    if (trimControls(text).empty()) {
        return;
    }
    std::size_t number = 0;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('|', start), text.size());
        const std::string_view written = trimBlanks(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (written.empty()) {
            throw BackupError("排除规则第 " + std::to_string(number) +
                              " 条是空的：“|”的两边都应有规则！");
        }
        std::string spelled(written);
        std::replace_if(spelled.begin(), spelled.end(), isPathSeparator, '/');
        Pattern p;
        p.written = std::string(written);
        p.foldersOnly = spelled.back() == '/';
        while (!spelled.empty() && spelled.back() == '/') {
            spelled.pop_back();
        }
        p.anchored = spelled.find('/') != std::string::npos;
        for (const std::string_view level : levelsOf(spelled)) {
            if (level != kAnyFolders && level.find(kAnyFolders) != std::string_view::npos) {
                throw BackupError(
                    malformed(written, "“**”只能单独作为一层文件夹，如“项目/**/build”"));
            }
            if (level == "." || level == "..") {
                throw BackupError(malformed(written, "不能含有“.”或“..”这样的文件夹"));
            }
            // "**/**" is "**".
            if (level == kAnyFolders && !p.parts.empty() && p.parts.back() == kAnyFolders) {
                continue;
            }
            p.parts.push_back(m_foldCase ? pathCaseKey(level) : std::string(level));
        }
        if (p.parts.empty()) {
            throw BackupError(malformed(written, "只有“/”，不指明任何文件或文件夹"));
        }
        // "*", "**" or "*/**" would leave the copy empty, and pruning would then delete the
        // copies that hold the files.
        if (!p.foldersOnly &&
            std::all_of(p.parts.begin(), p.parts.end(), [](const std::string& part) {
                return part.find_first_not_of('*') == std::string::npos;
            })) {
            throw BackupError(malformed(written, "会排除源文件夹中的所有文件"));
        }
        m_patterns.push_back(std::move(p));
    }
}

bool Exclusions::excludes(std::string_view relative, bool folder) const {
    return excludedBy(relative, folder).has_value();
}

std::optional<std::string_view> Exclusions::excludedBy(std::string_view relative,
                                                       bool folder) const {
    if (m_patterns.empty() || relative.empty()) {
        return std::nullopt;
    }
    std::string folded;
    if (m_foldCase) {
        folded = pathCaseKey(relative);
        relative = folded;
    }
    const std::string_view name = relative.substr(relative.rfind('/') + 1);
    std::vector<std::string_view> levels;  // split once, when an anchored pattern asks
    for (const Pattern& p : m_patterns) {
        if (p.foldersOnly && !folder) {
            continue;
        }
        if (!p.anchored) {
            if (p.parts.front() == kAnyFolders || globMatches(p.parts.front(), name)) {
                return p.written;
            }
            continue;
        }
        if (levels.empty()) {
            levels = levelsOf(relative);
        }
        if (levelsMatch(p.parts, levels)) {
            return p.written;
        }
    }
    return std::nullopt;
}

std::vector<std::string_view> Exclusions::patterns() const {
    std::vector<std::string_view> written;
    for (const Pattern& p : m_patterns) {
        written.push_back(p.written);
    }
    return written;
}

Exclusions Exclusions::stored(std::string_view text) {
    try {
        return Exclusions(text);
    } catch (const BackupError&) {
        return {};  // a rule refused today: counted as none rather than trusted
    }
}

bool Exclusions::leavesOut(std::string_view relative, bool folder) const {
    if (m_patterns.empty()) {
        return false;
    }
    for (std::size_t slash = relative.find('/'); slash != std::string_view::npos;
         slash = relative.find('/', slash + 1)) {
        if (excludes(relative.substr(0, slash), true)) {
            return true;
        }
    }
    return excludes(relative, folder);
}

ExcludeFn Exclusions::predicate() const {
    if (empty()) {
        return {};
    }
    auto rules = std::make_shared<const Exclusions>(*this);
    return [rules](const fs::path& relative, bool folder) {
        return rules->excludes(genericUtf8(relative), folder);
    };
}

namespace {

// The files in the excluded folder at `at`, links not followed; a folder in it that cannot be
// read leaves its size unknown rather than smaller.
void sizeFolder(FileOps& files, const fs::path& at, ExcludedEntry& entry) {
    std::vector<fs::path> folders{at};
    std::vector<FolderEntry> listed;
    while (!folders.empty()) {
        const fs::path folder = std::move(folders.back());
        folders.pop_back();
        listed.clear();
        if (files.listStats(folder, listed)) {
            entry.sizeKnown = false;
            continue;
        }
        for (const FolderEntry& e : listed) {
            if (e.stat.type == EntryType::Folder) {
                folders.push_back(folder / e.name);
            } else if (e.stat.type == EntryType::File) {
                entry.bytes += e.stat.size;
            }
        }
    }
}

}  // namespace

std::vector<ExcludedEntry> listExcluded(FileOps& files, const fs::path& source,
                                        const Exclusions& rules) {
    std::vector<ExcludedEntry> found;
    if (rules.empty()) {
        return found;
    }
    const auto top = files.stat(source, true);
    if (!top || top->type != EntryType::Folder) {
        return found;
    }
    files.walk(
        source, [](const fs::path&, const EntryStat&) {},
        [&](const fs::path& relative, bool folder) {
            const std::string path = genericUtf8(relative);
            if (!rules.excludes(path, folder)) {
                return false;
            }
            found.push_back({path, folder, 0});
            return true;
        });
    for (ExcludedEntry& entry : found) {
        const fs::path at = source / pathFromUtf8(entry.path);
        if (entry.folder) {
            sizeFolder(files, at, entry);
        } else if (const auto st = files.stat(at, false)) {
            entry.bytes = st->type == EntryType::File ? st->size : 0;
        } else {
            entry.sizeKnown = false;
        }
    }
    std::sort(found.begin(), found.end(),
              [](const ExcludedEntry& a, const ExcludedEntry& b) { return a.path < b.path; });
    return found;
}

std::optional<std::string> rulesLeavingNothing(FileOps& files, const fs::path& source,
                                               const Exclusions& rules) {
    if (rules.empty()) {
        return std::nullopt;
    }
    const auto top = files.stat(source, true);
    if (!top || top->type != EntryType::Folder) {
        return std::nullopt;  // the top is never left out
    }
    std::vector<std::string_view> used;
    std::vector<fs::path> leftOutFolders;  // relative to the source
    bool fileLeftOut = false;
    std::vector<fs::path> folders{fs::path()};
    std::vector<FolderEntry> listed;
    while (!folders.empty()) {
        const fs::path folder = std::move(folders.back());
        folders.pop_back();
        listed.clear();
        if (files.listStats(source / folder, listed)) {
            return std::nullopt;  // what it holds is not known: the copy will say
        }
        for (const FolderEntry& e : listed) {
            const fs::path relative = folder / e.name;
            const bool isFolder = e.stat.type == EntryType::Folder;
            const auto by = rules.excludedBy(genericUtf8(relative), isFolder);
            if (!by) {
                if (!isFolder) {
                    return std::nullopt;  // a file stays in the copy
                }
                folders.push_back(relative);
                continue;
            }
            if (std::find(used.begin(), used.end(), *by) == used.end()) {
                used.push_back(*by);
            }
            if (isFolder) {
                leftOutFolders.push_back(relative);
            } else {
                fileLeftOut = true;
            }
        }
    }
    // Whether a folder left out holds any file; one that cannot be read counts as none.
    while (!fileLeftOut && !leftOutFolders.empty()) {
        const fs::path folder = std::move(leftOutFolders.back());
        leftOutFolders.pop_back();
        listed.clear();
        if (files.listStats(source / folder, listed)) {
            continue;
        }
        for (const FolderEntry& e : listed) {
            if (e.stat.type == EntryType::Folder) {
                leftOutFolders.push_back(folder / e.name);
            } else {
                fileLeftOut = true;
            }
        }
    }
    if (!fileLeftOut) {
        return std::nullopt;  // nothing but folders: an empty source, not the rules' doing
    }
    // In the order the rules were written.
    std::string text;
    for (const std::string_view written : rules.patterns()) {
        if (std::find(used.begin(), used.end(), written) != used.end()) {
            text += (text.empty() ? "" : "|") + std::string(written);
            used.erase(std::find(used.begin(), used.end(), written));
        }
    }
    return text;
}

std::string rulesLeaveNothingMessage(std::string_view patterns, std::string_view source) {
    return "排除规则“" + std::string(patterns) + "”排除了备份文件源地址“" + std::string(source) +
           "”中的所有文件，本次未备份！请修改排除规则。";
}

std::string excludedSummary(const std::vector<ExcludedEntry>& entries) {
    std::uint64_t total = 0;
    std::size_t unknown = 0;
    for (const ExcludedEntry& entry : entries) {
        total += entry.bytes;
        unknown += entry.sizeKnown ? 0 : 1;
    }
    const std::string head = "排除 " + std::to_string(entries.size()) + " 项，共";
    if (unknown == 0) {
        return head + " " + sizeText(total);
    }
    return head + "至少 " + sizeText(total) + "（" + std::to_string(unknown) + " 项无法完整读取）";
}

std::string excludedLine(const ExcludedEntry& entry) {
    const std::string size = entry.sizeKnown    ? sizeText(entry.bytes)
                             : entry.bytes == 0 ? std::string("大小未知")
                                                : "至少 " + sizeText(entry.bytes);
    return entry.path + (entry.folder ? "/" : "") + "\t" + size;
}

std::vector<ExcludedEntry> previewExcluded(const Workspace& ws, const TBackupSettings& settings) {
    const Exclusions rules(settings.ExcludeRules);
    if (settings.SourcePath.empty()) {
        throw BackupError(std::string(kNoSourceMessage));
    }
    // The source as a run resolves it; the target folder plays no part here.
    const JobPlaces places = placesOf(ws, settings);
    const auto top = ws.files.stat(places.realSource, true);
    if (!top || top->type != EntryType::Folder) {
        throw BackupError("备份文件源地址“" + settings.SourcePath + "”不是可读的文件夹！");
    }
    return listExcluded(ws.files, places.realSource, rules);
}

}  // namespace vantrel
