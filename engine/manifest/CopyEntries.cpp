#include "engine/manifest/CopyEntries.h"

#include <algorithm>
#include <set>
#include <system_error>
#include <utility>

#include "engine/BackupError.h"
#include "engine/TextRules.h"
#include "engine/manifest/CopyListing.h"
#include "engine/manifest/ManifestCodec.h"
#include "engine/manifest/ManifestStore.h"
#include "engine/places/JobPlaces.h"
#include "engine/places/SafePath.h"
#include "engine/run/CopyNaming.h"
#include "platform/FileStat.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

bool isBelow(std::string_view path, std::string_view folder) {
    return folder.empty() ||
           (path.size() > folder.size() && path[folder.size()] == '/' && path.starts_with(folder));
}

// The entries of a manifest's BLOB, decoded one at a time.
class BlobStream final : public EntryStream {
public:
    BlobStream(std::string_view blob, std::string_view below)
        : m_in(openReader(blob)), m_below(below), m_end(m_below + "0") {}

    const ManifestEntry* next() override {
        try {
            while (!m_done && m_in.next()) {
                const std::string& path = m_in.path();
                if (!m_below.empty() && path < m_below) {
                    continue;
                }
                // Everything under "below/" sorts before "below0"; names such as "below.txt"
                // sort among them and are passed over.
                if (!m_below.empty() && path >= m_end) {
                    break;
                }
                if (path == m_below || isBelow(path, m_below)) {
                    m_in.read(m_entry);
                    return &m_entry;
                }
            }
        } catch (const DamagedManifest&) {
            throw BackupError(std::string(kDamagedManifestText));
        }
        m_done = true;
        return nullptr;
    }

private:
    static ManifestReader openReader(std::string_view blob) {
        try {
            return ManifestReader(blob);
        } catch (const DamagedManifest&) {
            throw BackupError(std::string(kDamagedManifestText));
        }
    }
    static constexpr std::string_view kDamagedManifestText = "备份清单已损坏";

    ManifestReader m_in;
    std::string m_below;
    std::string m_end;
    bool m_done = false;
    ManifestEntry m_entry;
};

class ManifestStream final : public EntryStream {
public:
    ManifestStream(const Manifest& sorted, std::string_view below) : m_below(below) {
        const auto byPath = [](const ManifestEntry& e, std::string_view p) { return e.path < p; };
        m_it = std::lower_bound(sorted.begin(), sorted.end(), m_below, byPath);
        m_end = sorted.end();
        if (!m_below.empty()) {
            // The entry itself, then the block of paths under it; names such as "a.txt" that
            // sort between "a" and "a/" are passed over.
            m_subtree = std::lower_bound(m_it, m_end, m_below + "/", byPath);
            if (m_it == m_end || m_it->path != m_below) {
                m_it = m_subtree;
            }
        }
    }

    const ManifestEntry* next() override {
        if (m_it == m_end || !(m_it->path == m_below || isBelow(m_it->path, m_below))) {
            return nullptr;
        }
        const ManifestEntry* e = &*m_it;
        ++m_it;
        if (!m_below.empty() && e->path == m_below) {
            m_it = m_subtree;
        }
        return e;
    }

private:
    std::string m_below;
    Manifest::const_iterator m_it, m_end, m_subtree;
};

// Walks a tree in the manifests' path order. In that order a folder "a" comes before
// "a.txt", whose name sorts before the "a/" that starts what "a" holds: each folder's listing
// is sorted with its subfolders' contents keyed "name/", and taken as it comes.
class TreeStream final : public EntryStream {
public:
    TreeStream(FileOps& files, fs::path root, std::string_view below)
        : m_files(files), m_root(std::move(root)), m_top(below) {}

    const ManifestEntry* next() override {
        if (!m_started) {
            m_started = true;
            if (read(m_top)) {
                if (m_current.type == 'd') {
                    open(m_top);
                }
                return &m_current;
            }
            return nullptr;
        }
        while (!m_stack.empty()) {
            Frame& frame = m_stack.back();
            if (frame.next == frame.items.size()) {
                m_stack.pop_back();
                continue;
            }
            Item item = std::move(frame.items[frame.next++]);
            if (item.contents) {
                item.key.pop_back();
                open(item.key);
                continue;
            }
            fill(std::move(item.key), item.stat);
            return &m_current;
        }
        return nullptr;
    }

private:
    struct Item {
        std::string key;        // the entry's path; for what a folder holds, with "/" after it
        bool contents = false;  // stands for what the folder holds
        EntryStat stat;         // as listed
    };
    struct Frame {
        std::vector<Item> items;
        std::size_t next = 0;
    };

    fs::path diskPath(const std::string& rel) const {
        return rel.empty() ? m_root : m_root / pathFromUtf8(rel);
    }

    void open(const std::string& folder) {
        std::vector<FolderEntry> listed;
        if (m_files.listStats(diskPath(folder), listed)) {
            return;  // unreadable: nothing under it
        }
        Frame frame;
        frame.items.reserve(listed.size() + listed.size() / 4);
        for (const FolderEntry& e : listed) {
            std::string key =
                folder.empty() ? manifestPath(e.name) : folder + "/" + manifestPath(e.name);
            if (e.stat.type == EntryType::Folder) {
                frame.items.push_back({key + "/", true, {}});
            }
            frame.items.push_back({std::move(key), false, e.stat});
        }
        std::sort(frame.items.begin(), frame.items.end(),
                  [](const Item& a, const Item& b) { return a.key < b.key; });
        m_stack.push_back(std::move(frame));
    }

    // The top of the walk, looked at on its own.
    bool read(const std::string& rel) {
        const auto st = m_files.stat(diskPath(rel), false);
        if (!st) {
            return false;
        }
        fill(rel, *st);
        return true;
    }

    void fill(std::string rel, const EntryStat& st) {
        m_current.type = typeLetter(st.type);
        m_current.size = st.type == EntryType::File ? st.size : 0;
        m_current.mtimeNs = st.mtimeNs;
        m_current.attributes = attributesOf(st);
        m_current.hash =
            st.type == EntryType::Link ? linkTarget(m_files, diskPath(rel)) : std::string();
        m_current.path = std::move(rel);
    }

    FileOps& m_files;
    fs::path m_root;
    std::string m_top;
    bool m_started = false;
    std::vector<Frame> m_stack;
    ManifestEntry m_current;
};

}  // namespace

std::unique_ptr<EntryStream> streamOf(const Manifest& sorted, std::string_view below) {
    return std::make_unique<ManifestStream>(sorted, below);
}

std::unique_ptr<EntryStream> streamOfBlob(std::string_view blob, std::string_view below) {
    return std::make_unique<BlobStream>(blob, below);
}

std::unique_ptr<EntryStream> streamOfTree(FileOps& files, const fs::path& root,
                                          std::string_view below) {
    return std::make_unique<TreeStream>(files, root, below);
}

bool sameEntry(const ManifestEntry& a, const ManifestEntry& b) {
    if (a.type != b.type) {
        return false;
    }
    switch (a.type) {
        case 'f':
            return a.size == b.size && a.mtimeNs == b.mtimeNs &&
                   (a.hash.empty() || b.hash.empty() || a.hash == b.hash);
        case 'l':
            return a.hash == b.hash;
        default:
            return true;
    }
}

std::string_view changeWord(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::Added:
            return "新增";
        case ChangeKind::Modified:
            return "修改";
        case ChangeKind::Deleted:
            break;
    }
    return "删除";
}

std::string ChangeCounts::summary() const {
    return "新增 " + std::to_string(filesAdded) + " 个，修改 " + std::to_string(filesModified) +
           " 个，删除 " + std::to_string(filesDeleted) + " 个";
}

void mergeByPath(EntryStream& a, EntryStream& b, const PairFn& each) {
    // An entry lasts until its own stream's next call, which comes after `each` is told.
    const ManifestEntry* x = a.next();
    const ManifestEntry* y = b.next();
    while (x != nullptr || y != nullptr) {
        if (y == nullptr || (x != nullptr && x->path < y->path)) {
            each(x, nullptr);
            x = a.next();
        } else if (x == nullptr || y->path < x->path) {
            each(nullptr, y);
            y = b.next();
        } else {
            each(x, y);
            x = a.next();
            y = b.next();
        }
    }
}

ChangeCounts compareEntries(EntryStream& older, EntryStream& newer, const ChangeFn& each,
                            const Exclusions* newerRules) {
    ChangeCounts counts;
    const auto tell = [&each](ChangeKind kind, const ManifestEntry& e) {
        if (each) {
            each(kind, e);
        }
    };
    mergeByPath(older, newer, [&](const ManifestEntry* o, const ManifestEntry* n) {
        // The tops are the copies themselves; what the newer copy's rules leave out was not
        // deleted and is not counted among the older copy's files.
        if (o != nullptr && (o->path.empty() || (newerRules != nullptr &&
                                                 newerRules->leavesOut(o->path, o->type == 'd')))) {
            o = nullptr;
        }
        if (n != nullptr && n->path.empty()) {
            n = nullptr;
        }
        if (o != nullptr && o->type != 'd') {
            ++counts.filesBefore;
        }
        if (o != nullptr && n == nullptr) {
            ++counts.deleted;
            counts.filesDeleted += o->type != 'd' ? 1 : 0;
            tell(ChangeKind::Deleted, *o);
        } else if (o == nullptr && n != nullptr) {
            ++counts.added;
            counts.filesAdded += n->type != 'd' ? 1 : 0;
            tell(ChangeKind::Added, *n);
        } else if (o != nullptr && !sameEntry(*o, *n)) {
            ++counts.modified;
            counts.filesModified += o->type != 'd' ? 1 : 0;
            tell(ChangeKind::Modified, *n);
        }
    });
    return counts;
}

CopyEntries::CopyEntries(FileOps& files, BackupRecord record, fs::path place, bool onDisk,
                         std::shared_ptr<ManifestStore> manifests, bool trusted)
    : m_files(&files),
      m_record(std::move(record)),
      m_place(std::move(place)),
      m_onDisk(onDisk && trusted),
      m_manifests(std::move(manifests)),
      m_trusted(trusted) {}

const Manifest* CopyEntries::manifest() {
    if (!m_loaded) {
        m_loaded = true;
        if (m_manifests) {
            try {
                m_manifest = m_manifests->load(m_record.id);
            } catch (const BackupError&) {
                // A damaged manifest is never trusted: the copy on disk is read instead.
                m_manifest.reset();
            }
        }
    }
    return m_manifest ? &*m_manifest : nullptr;
}

std::optional<ManifestEntry> CopyEntries::find(std::string_view path) {
    // One entry needs no manifest made whole: many copies are asked about one file.
    if (!m_loaded && m_manifests) {
        try {
            ManifestStore::Lookup found = m_manifests->find(m_record.id, path);
            if (found.hasManifest) {
                return found.entry;
            }
            m_loaded = true;  // none to load
        } catch (const BackupError&) {
            m_loaded = true;  // damaged: never trusted, the copy is read on disk
        }
    }
    if (const Manifest* m = manifest()) {
        const auto it =
            std::lower_bound(m->begin(), m->end(), path,
                             [](const ManifestEntry& e, std::string_view p) { return e.path < p; });
        if (it != m->end() && it->path == path) {
            return *it;
        }
        return std::nullopt;
    }
    auto s = streamOfTree(*m_files, m_place, path);
    if (const ManifestEntry* e = s->next()) {
        return *e;
    }
    return std::nullopt;
}

const std::string* CopyEntries::manifestBlob() {
    if (!m_blobLoaded) {
        m_blobLoaded = true;
        if (m_manifests && !m_loaded) {
            try {
                std::string blob;
                if (m_manifests->loadBlob(m_record.id, blob)) {
                    m_blob = std::move(blob);
                }
            } catch (const BackupError&) {
                // A damaged manifest is never trusted: the copy on disk is read instead.
                m_loaded = true;
            }
        }
    }
    return m_blob ? &*m_blob : nullptr;
}

std::unique_ptr<EntryStream> CopyEntries::stream(std::string_view path) {
    // Read from the BLOB entry by entry: comparing two large copies never holds either whole.
    if (const std::string* blob = manifestBlob()) {
        return streamOfBlob(*blob, path);
    }
    if (const Manifest* m = manifest()) {
        return streamOf(*m, path);
    }
    return streamOfTree(*m_files, m_place, path);
}

namespace {

template <class Keep>
std::vector<CopyEntries> copiesWhere(const Workspace& ws, Keep keep) {
    std::vector<CopyEntries> copies;
    const auto listed = listCopies(ws);
    if (listed.empty()) {
        return copies;
    }
    std::shared_ptr<ManifestStore> manifests;
    try {
        manifests = std::make_shared<ManifestStore>(ws.databaseFile());
    } catch (const BackupError&) {
        // Without the manifests every copy is read on disk.
    }
    for (const ListedCopy& c : listed) {
        if (!keep(c.record)) {
            continue;
        }
        auto place = resolveInWorkDir(ws.dir, c.record.path).lexically_normal();
        const bool trusted = isSafeCopyPlace(c.record.path);
        copies.emplace_back(ws.files, c.record, std::move(place), c.onDisk, manifests, trusted);
    }
    return copies;
}

}  // namespace

std::vector<CopyEntries> jobCopies(const Workspace& ws) {
    return copiesWhere(ws, [](const BackupRecord&) { return true; });
}

std::vector<CopyEntries> jobCopies(const Workspace& ws, const TBackupSettings& settings) {
    if (settings.SourcePath.empty()) {
        return jobCopies(ws);
    }
    const JobPlaces places = placesOf(ws, settings);
    return copiesWhere(ws, [&](const BackupRecord& r) { return places.madeFrom(ws.files, r); });
}

}  // namespace vantrel
