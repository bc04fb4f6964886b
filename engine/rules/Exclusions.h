#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/run/Workspace.h"
#include "platform/FileOps.h"

namespace vantrel {

// What a job leaves out of its copies: the patterns of the setting "排除规则", separated by
// "|", compiled once per run.
//
// In a pattern "*" matches any run of characters within a name, "?" one character, and "**"
// any number of folders. A pattern without "/" matches a file or folder name at any depth; one
// that holds "/" is anchored at the source folder; one ending in "/" matches folders only.
// "/" separates folders on every system ("\" too on Windows, where no name holds it). Names
// compare as the file system compares them: case is ignored on Windows and respected elsewhere.
class Exclusions {
public:
    // Nothing excluded.
    Exclusions() = default;
    // Throws BackupError with the message of `problem` when a pattern is malformed.
    explicit Exclusions(std::string_view text);

    // What is wrong with the first malformed pattern of `text` (an empty pattern, one of only
    // "/", "**" within a name, "." or ".." as a folder, one of only "*" that would leave
    // everything out), naming it; none when all are sound.
    static std::optional<std::string> problem(std::string_view text);

    bool empty() const { return m_patterns.empty(); }
    // The patterns as given.
    const std::string& text() const { return m_text; }
    // Each pattern as written, in order.
    std::vector<std::string_view> patterns() const;

    // The rules a copy's record keeps: rules this version would refuse count as none, so that
    // nothing is hidden on their account.
    static Exclusions stored(std::string_view text);

    // Whether the entry at `relative`, its path below the source with "/" between folders
    // (UTF-8), is left out.
    bool excludes(std::string_view relative, bool folder) const;
    // Whether it is left out, or lies in a folder that is (and so was never entered).
    bool leavesOut(std::string_view relative, bool folder) const;
    // The same question in the form the copy, the count and the walk ask it; empty when
    // nothing is excluded. It holds its own copy of the patterns.
    ExcludeFn predicate() const;
    // The first pattern (as written) that leaves the entry out; none when none does.
    std::optional<std::string_view> excludedBy(std::string_view relative, bool folder) const;

private:
    struct Pattern {
        std::string written;             // as the user wrote it
        std::vector<std::string> parts;  // one per folder level; "**" stands for any number
        bool anchored = false;           // held "/": matched from the source folder down
        bool foldersOnly = false;        // ended in "/"
    };
    std::string m_text;
    std::vector<Pattern> m_patterns;
    bool m_foldCase = false;  // names compare without case here
};

// One entry the rules leave out of the source now.
struct ExcludedEntry {
    std::string path;  // below the source, "/" between folders (UTF-8)
    bool folder = false;
    std::uint64_t bytes = 0;  // a file's size; for a folder, the files in it
    // All of it could be read: `bytes` is its size. Otherwise its size is unknown, at least
    // `bytes`.
    bool sizeKnown = true;
};

// The patterns (joined by "|") that together leave out every file `source` holds now, when
// they do: the source holds files, links or special files, and none of them is left in.
// None when a file is left in, or the source holds no file at all.
std::optional<std::string> rulesLeavingNothing(FileOps& files, const std::filesystem::path& source,
                                               const Exclusions& rules);
// "排除规则“…”排除了备份文件源地址“…”中的所有文件，本次未备份！请修改排除规则。"
std::string rulesLeaveNothingMessage(std::string_view patterns, std::string_view source);

// What `rules` leave out of `source` now, by path: folders once, not what they hold.
std::vector<ExcludedEntry> listExcluded(FileOps& files, const std::filesystem::path& source,
                                        const Exclusions& rules);

// "排除 N 项，共 X": the summary under that list; "排除 N 项，共至少 X（K 项无法完整读取）" when
// the size of some is unknown.
std::string excludedSummary(const std::vector<ExcludedEntry>& entries);
// One line of the list: the path ("/" after a folder's), a tab, the size ("至少 X" when part of
// it could not be read, "大小未知" when none of it could).
std::string excludedLine(const ExcludedEntry& entry);

// The preview of the settings' rules: what they leave out of the source, as a run resolves
// it, now. Throws BackupError naming a malformed rule, the refusal when no source is set, or
// the source when it is no folder that can be read.
std::vector<ExcludedEntry> previewExcluded(const Workspace& ws, const TBackupSettings& settings);

}  // namespace vantrel
