#include "engine/ManifestRecorder.h"

#include <optional>
#include <system_error>
#include <utility>

#include "engine/FileHash.h"

namespace vantrel {

namespace fs = std::filesystem;

ManifestRecorder::ManifestRecorder(FileOps& files, const Manifest* previous, bool hashContents)
    : m_files(files), m_previous(previous), m_hashContents(hashContents) {
    if (previous != nullptr) {
        m_entries.reserve(previous->size());  // a new copy holds about what the previous one did
    }
}

void ManifestRecorder::add(const CopiedEntry& entry) {
    ManifestEntry e;
    e.path = manifestPath(entry.relative);
    e.type = typeLetter(entry.type);
    e.size = entry.size;
    e.mtimeNs = entry.mtimeNs;
    static const fs::path nowhere;
    const fs::path& written = entry.written != nullptr ? *entry.written : nowhere;
    // What the target kept, which a later check reads back: a file system with coarser
    // times rounds the source's, and only a process that may set owners keeps the source's.
    std::optional<EntryStat> readBack;
    const EntryStat* held = entry.held;
    if (held == nullptr && (entry.type == EntryType::Folder || !entry.asWritten)) {
        readBack = m_files.stat(written, false);
        held = readBack ? &*readBack : nullptr;
    }
    if (held != nullptr) {
        if (entry.type != EntryType::Folder && !entry.asWritten) {
            e.size = entry.type == EntryType::File ? held->size : 0;
            e.mtimeNs = held->mtimeNs;
        }
        e.attributes = attributesOf(*held);
    }
    bool hashed = false;
    if (entry.type == EntryType::File) {
        if (entry.source != nullptr) {
            e.source = sourceFactsOf(*entry.source);
        }
        const ManifestEntry* before =
            entry.shared && m_previous != nullptr ? findEntry(*m_previous, e.path) : nullptr;
        // Its hash is borrowed only from the record of this very file, as it was shared.
        if (before != nullptr && before->type == 'f' && before->size == e.size &&
            before->mtimeNs == e.mtimeNs && before->source && before->source == e.source &&
            !before->hash.empty() && before->hash != kUnreadHash) {
            e.hash = before->hash;
        } else if (m_hashContents) {
            try {
                e.hash = hashFile(written);
                hashed = true;
            } catch (const std::system_error&) {
                // The check then reports the file as changed, never as intact.
                e.hash = kUnreadHash;
            }
        }
    } else if (entry.type == EntryType::Link) {
        e.hash = linkTarget(m_files, written);
    }
    std::lock_guard lock(m_mutex);
    m_entries.push_back(std::move(e));
    m_hashed += hashed ? 1 : 0;
}

Manifest ManifestRecorder::take() {
    std::lock_guard lock(m_mutex);
    sortByPath(m_entries);
    return std::move(m_entries);
}

}  // namespace vantrel
