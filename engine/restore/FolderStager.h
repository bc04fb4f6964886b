#pragma once

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/restore/BatchPlacer.h"

namespace vantrel {

// The folder and the name of a path in a copy: "a/b/c" is "c" in "a/b".
std::string parentOf(const std::string& rel);
std::string nameOf(const std::string& rel);

// Makes the folders of one copy at the destination. A folder that is missing is made under
// a temporary name beside its place, filled, and renamed into place whole once it is on
// disk, instead of each file on its own. A name held by something else (even a link) is kept
// and the folder made beside it: nothing is written through a link.
class FolderStager {
public:
    FolderStager(RestoreScope& scope, BatchPlacer& placer) : m_scope(scope), m_placer(placer) {}

    // Starts on a copy at `copyPlace` whose top goes to `base`.
    void start(const std::filesystem::path& copyPlace, const std::filesystem::path& base);
    // The copy's folder `rel` (its top when empty), at `dest` below its parent's place.
    void folderEntry(const std::string& rel, const std::filesystem::path& dest);
    // Where the copy's folder `rel` is restored to, made when missing; none when it could
    // not be (said once: what it holds is not tried again).
    std::optional<std::filesystem::path> folderFor(const std::string& rel);
    // Makes the missing folders above `place` as any new folder is made (0755 less the
    // umask), never like the folder they are made in: under /tmp that would let every user
    // write into them.
    bool makeAbove(const std::filesystem::path& place);
    // The staged folder that holds the copy's folder `rel`; none when `rel` was there before.
    StagedFolder* stagedOf(const std::string& rel);
    // Gives the staged folders their mode and time, puts them on disk and renames each into
    // place (beside a name that was taken since). After a stop, one that holds no file placed
    // is removed instead.
    void placeStaged();

private:
    std::filesystem::path inCopy(const std::string& rel) const;
    void ensureBase();
    void ensureFolder(const std::string& rel, const std::filesystem::path& dest);
    void stage(const std::string& rel, const std::filesystem::path& place,
               const std::optional<EntryStat>& like, const std::filesystem::path& wanted = {});
    void keptBeside(const std::filesystem::path& dest, const std::filesystem::path& place);

    RestoreScope& m_scope;
    BatchPlacer& m_placer;
    std::filesystem::path m_copyPlace;
    std::filesystem::path m_base;
    std::unordered_map<std::string, std::filesystem::path> m_folders;  // copy's folder → place
    std::unordered_set<std::string> m_unmade;  // the copy's folders that failed
    std::deque<StagedFolder> m_staged;         // stable: pending files point into it
    std::unordered_map<std::string, StagedFolder*> m_stagedOf;  // a folder made now → its top
    // Folders made in staged ones, in the order made, and what they are made like.
    std::vector<std::pair<std::filesystem::path, EntryStat>> m_made;
};

}  // namespace vantrel
