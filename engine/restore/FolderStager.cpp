#include "engine/restore/FolderStager.h"

#include "engine/Texts.h"
#include "engine/restore/RestorePlan.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// A new folder's mode before the umask, as the shell's mkdir makes it.
constexpr std::uint32_t kNewFolderMode = 0755;

}  // namespace

std::string parentOf(const std::string& rel) {
    const auto cut = rel.rfind('/');
    return cut == std::string::npos ? std::string() : rel.substr(0, cut);
}

std::string nameOf(const std::string& rel) {
    const auto cut = rel.rfind('/');
    return cut == std::string::npos ? rel : rel.substr(cut + 1);
}

void FolderStager::start(const fs::path& copyPlace, const fs::path& base) {
    m_copyPlace = copyPlace;
    m_base = base;
    m_folders.clear();
    m_unmade.clear();
    m_stagedOf.clear();
}

fs::path FolderStager::inCopy(const std::string& rel) const {
    return rel.empty() ? m_copyPlace : m_copyPlace / pathFromUtf8(rel);
}

void FolderStager::folderEntry(const std::string& rel, const fs::path& dest) {
    if (rel.empty()) {
        ensureBase();
    } else {
        ensureFolder(rel, dest);
    }
    if (!m_folders.contains(rel)) {
        m_unmade.insert(rel);
    }
}

// The copy's top goes to the destination folder, made when missing.
void FolderStager::ensureBase() {
    if (m_folders.contains("")) {
        return;
    }
    // A link to a folder is taken as the user's way to the place.
    if (const auto followed = m_scope.files.stat(m_base, true);
        followed && followed->type == EntryType::Folder) {
        m_folders.emplace("", m_base);
    } else if (m_scope.lstat(m_base)) {
        m_scope.fail(m_base, "不是文件夹");
    } else if (makeAbove(m_base)) {
        stage("", m_base, m_scope.lstat(inCopy("")));
    }
}

bool FolderStager::makeAbove(const fs::path& place) {
    std::vector<fs::path> missing;
    for (fs::path p = place.parent_path(); !p.empty() && !m_scope.lstat(p); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) {
            break;
        }
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (auto r = m_scope.placer.makeFolder(*it, kNewFolderMode); !r.ok()) {
            m_scope.fail(*it, r.error);
            return false;
        }
    }
    return true;
}

std::optional<fs::path> FolderStager::folderFor(const std::string& rel) {
    if (const auto it = m_folders.find(rel); it != m_folders.end()) {
        return it->second;
    }
    if (m_unmade.contains(rel)) {
        return std::nullopt;
    }
    if (rel.empty()) {
        ensureBase();
    } else if (const auto parent = folderFor(parentOf(rel))) {
        ensureFolder(rel, *parent / pathFromUtf8(nameOf(rel)));
    }
    const auto it = m_folders.find(rel);
    if (it == m_folders.end()) {
        m_unmade.insert(rel);
        return std::nullopt;
    }
    return it->second;
}

void FolderStager::ensureFolder(const std::string& rel, const fs::path& dest) {
    if (m_folders.contains(rel)) {
        return;
    }
    const auto like = m_scope.lstat(inCopy(rel));
    if (!like) {
        m_scope.fail(dest, std::make_error_code(std::errc::no_such_file_or_directory));
        return;
    }
    // Only a folder leads further into the copy: never a link, whatever its row says.
    if (like->type != EntryType::Folder) {
        m_scope.fail(dest, "备份中的“" + escapedName(rel) + "”不是文件夹");
        return;
    }
    StagedFolder* const staged = stagedOf(parentOf(rel));
    fs::path place = dest;
    for (int n = 1; n <= kMaxBesideNames; ++n) {
        // In a folder this restore made, nothing else can have the name.
        AtPlace at = AtPlace::Nothing;
        if (staged == nullptr) {
            if (const auto st = m_scope.lstat(place)) {
                at = st->type == EntryType::Folder ? AtPlace::Folder : AtPlace::Other;
            }
        }
        switch (planFolder(at, staged != nullptr)) {
            case FolderAction::Use:
                keptBeside(dest, place);
                m_folders.emplace(rel, place);
                return;
            case FolderAction::Make:
                if (auto r = m_scope.placer.makeFolder(place, like->permissions); !r.ok()) {
                    m_scope.fail(place, r.error);
                    return;
                }
                m_made.emplace_back(place, *like);
                m_folders.emplace(rel, place);
                m_stagedOf.emplace(rel, staged);
                return;
            case FolderAction::Stage:
                stage(rel, place, like, dest);
                return;
            case FolderAction::Beside:
                place = m_scope.besideOf(dest, n);
                break;
        }
    }
    m_scope.fail(dest, "同名的项太多");
}

// A folder put beside what holds its name is said, or its files would seem to be in place.
void FolderStager::keptBeside(const fs::path& dest, const fs::path& place) {
    if (place != dest) {
        m_scope.out.foldersBeside.push_back({pathToUtf8(dest), pathToUtf8(place)});
    }
}

// Makes the folder `rel`, missing at `place`, under a temporary name beside it. `wanted` is
// the name the copy gives it, when `place` is a name beside that one.
void FolderStager::stage(const std::string& rel, const fs::path& place,
                         const std::optional<EntryStat>& like, const fs::path& wanted) {
    const fs::path temp = restoreTempFor(place);
    // Left by a restore that was stopped before it could put the folder in place.
    if (const auto st = m_scope.lstat(temp); st && st->type == EntryType::Folder) {
        m_scope.files.removeTree(temp);
    }
    if (auto r = m_scope.placer.makeFolder(temp, like ? like->permissions : kNewFolderMode);
        !r.ok()) {
        m_scope.fail(place, r.error);
        return;
    }
    if (like) {
        m_made.emplace_back(temp, *like);
    }
    StagedFolder& staged =
        m_staged.emplace_back(StagedFolder{temp, place, wanted.empty() ? place : wanted, 0, {}});
    m_stagedOf.emplace(rel, &staged);
    m_folders.emplace(rel, temp);
}

StagedFolder* FolderStager::stagedOf(const std::string& rel) {
    const auto it = m_stagedOf.find(rel);
    return it == m_stagedOf.end() ? nullptr : it->second;
}

void FolderStager::placeStaged() {
    if (m_staged.empty()) {
        return;
    }
    for (auto it = m_made.rbegin(); it != m_made.rend(); ++it) {
        m_scope.placer.finishFolder(it->first, it->second);
    }
    const bool stop = m_scope.cancelled();
    const FileOpResult synced = m_scope.syncDestination();
    for (const StagedFolder& top : m_staged) {
        // Stopped before any of its files was placed: an empty shell would pass for restored.
        if (stop && top.files == 0) {
            m_scope.files.removeTree(top.temp);
            continue;
        }
        FileOpResult placed =
            synced.ok() ? m_scope.placer.place(top.temp, top.place, false) : synced;
        fs::path to = top.place;
        for (int n = 1; placed.error == std::errc::file_exists && n <= kMaxBesideNames; ++n) {
            to = m_scope.besideOf(top.place, n);
            placed = m_scope.placer.place(top.temp, to, false);
        }
        if (!placed.ok()) {
            m_scope.files.removeTree(top.temp);
            m_scope.fail(top.place, placed.error);
            continue;
        }
        keptBeside(top.wanted, to);
        m_scope.out.restored += top.files;
        for (const auto& [id, relative] : top.linked) {
            m_placer.noteLinked(id, to / relative);
        }
    }
    m_staged.clear();
    m_stagedOf.clear();
    m_made.clear();
}

}  // namespace vantrel
