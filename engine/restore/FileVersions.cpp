#include "engine/restore/FileVersions.h"

#include <algorithm>
#include <memory>

#include "engine/Texts.h"
#include "engine/manifest/CopyEntries.h"
#include "engine/places/SafePath.h"
#include "engine/places/SourcePath.h"

namespace vantrel {

std::string FileVersion::line() const {
    return date + "\t" + std::to_string(size) + "\t" + formatLocalTime(localTimeOf(mtimeNs)) +
           (sameAsNewer ? "\t同上" : "");
}

std::vector<FileVersion> versionsOf(const Workspace& ws, const TBackupSettings& settings,
                                    std::string_view path) {
    const std::string rel = sourceRelative(ws, settings, path);
    std::vector<FileVersion> versions;
    std::vector<CopyEntries> copies = jobCopies(ws, settings);
    CopyEntries* newer = nullptr;
    ManifestEntry newerEntry;
    for (CopyEntries& copy : copies) {
        if (!copy.onDisk()) {
            continue;
        }
        const auto entry = copy.find(rel);
        if (!entry) {
            continue;
        }
        FileVersion v;
        v.copyId = copy.record().id;
        v.date = copy.record().date;
        v.type = entry->type;
        v.size = entry->size;
        v.mtimeNs = entry->mtimeNs;
        if (entry->type == 'd') {
            bool anyFile = false;
            auto s = copy.stream(rel);
            while (const ManifestEntry* e = s->next()) {
                // A row that leads out of the copy is no file of it.
                if (e->type != 'd' && isSafeRelativePath(e->path)) {
                    v.size += e->size;
                    v.mtimeNs = anyFile ? std::max(v.mtimeNs, e->mtimeNs) : e->mtimeNs;
                    anyFile = true;
                }
            }
        }
        if (newer != nullptr && versions.back().type == v.type) {
            if (v.type == 'd') {
                auto older = copy.stream(rel);
                auto newerEntries = newer->stream(rel);
                const ChangeCounts c = compareEntries(*older, *newerEntries);
                v.sameAsNewer = c.added + c.modified + c.deleted == 0;
            } else {
                v.sameAsNewer = sameEntry(*entry, newerEntry);
            }
        }
        versions.push_back(v);
        newer = &copy;
        newerEntry = *entry;
    }
    return versions;
}

namespace {

void lowerAscii(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
}

}  // namespace

std::string nameSearchKey(std::string_view text) {
    std::string key(text);
    lowerAscii(key);
    return key;
}

bool findByName(CopyEntries& copy, std::string_view key,
                const std::function<bool(const ManifestEntry&)>& each,
                const std::function<bool()>& carryOn) {
    auto entries = copy.stream();
    std::string name;
    std::uint32_t looked = 0;
    while (const ManifestEntry* e = entries->next()) {
        if (++looked % 256 == 0 && carryOn && !carryOn()) {
            return false;
        }
        if (e->path.empty()) {
            continue;  // the copy's top
        }
        const auto slash = e->path.rfind('/');
        name.assign(e->path, slash == std::string::npos ? 0 : slash + 1);
        lowerAscii(name);
        if (name.find(key) == std::string::npos) {
            continue;
        }
        if (isSafeRelativePath(e->path) && !each(*e)) {
            return false;
        }
    }
    return true;
}

}  // namespace vantrel
