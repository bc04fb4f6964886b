#include "engine/manifest/ManifestRecorder.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "engine/manifest/FileHash.h"
#include "engine/manifest/ManifestCodec.h"

namespace vantrel {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

}  // namespace

ManifestRecorder::ManifestRecorder(FileOps& files, const ManifestIndex* previous, bool hashContents)
    : m_files(files), m_previous(previous), m_hashContents(hashContents) {
    if (previous != nullptr) {
        m_kept.reserve(previous->size());  // a new copy holds about what the previous one did
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
        const std::optional<ManifestEntry> before =
            entry.shared && m_previous != nullptr ? m_previous->find(e.path) : std::nullopt;
        // Its hash is borrowed only from the record of this very file, as it was shared.
        if (before && before->type == 'f' && before->size == e.size &&
            before->mtimeNs == e.mtimeNs && before->source && before->source == e.source &&
            !before->hash.empty() && before->hash != kUnreadHash) {
            e.hash = before->hash;
        } else if (entry.hash != nullptr) {
            e.hash = *entry.hash;  // hashed as it was written
            hashed = true;
        } else if (m_hashContents) {
            try {
                e.hash = hashFile(written);
                hashed = true;
            } catch (const std::system_error&) {
                // The check then reports the file as changed, never as intact.
                e.hash = std::string(kUnreadHash);
            }
        }
    } else if (entry.type == EntryType::Link) {
        e.hash = linkTarget(m_files, written);
    }
    thread_local std::string fields;
    fields.clear();
    encodeFields(e, fields);
    std::lock_guard lock(m_mutex);
    keep(e.path, fields);
    m_hashed += hashed ? 1 : 0;
}

void ManifestRecorder::keep(std::string_view path, std::string_view fields) {
    if (path.size() > UINT32_MAX || fields.size() > UINT32_MAX) {
        throw std::length_error("manifest entry too long");
    }
    const std::size_t need = path.size() + fields.size();
    if (m_blocks.empty() || need > m_blockSize - m_blockUsed) {
        // A longer entry than a block gets a block of its own.
        m_blockSize = std::max(need, kBlockBytes);
        m_blocks.emplace_back(new char[m_blockSize]);
        m_blockUsed = 0;
    }
    char* at = m_blocks.back().get() + m_blockUsed;
    m_blockUsed += need;
    std::memcpy(at, path.data(), path.size());
    std::memcpy(at + path.size(), fields.data(), fields.size());
    m_kept.push_back(
        {at, static_cast<std::uint32_t>(path.size()), static_cast<std::uint32_t>(fields.size())});
}

std::string ManifestRecorder::take() {
    std::lock_guard lock(m_mutex);
    std::sort(m_kept.begin(), m_kept.end(),
              [](const Kept& a, const Kept& b) { return a.path() < b.path(); });
    std::string blob = writeManifest(m_kept.size(), [this](const EntryBytesFn& entry) {
        for (const Kept& k : m_kept) {
            entry(k.path(), k.fields());
        }
    });
    std::vector<Kept>().swap(m_kept);
    std::vector<std::unique_ptr<char[]>>().swap(m_blocks);
    m_blockUsed = m_blockSize = 0;
    return blob;
}

}  // namespace vantrel
