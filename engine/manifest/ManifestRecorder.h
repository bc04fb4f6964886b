#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/manifest/Manifest.h"
#include "engine/manifest/ManifestIndex.h"
#include "platform/FileOps.h"

namespace vantrel {

// Collects the manifest of a copy from the entries the copy reports as it places them.
// A file linked from the previous copy takes its hash from that copy's manifest.
class ManifestRecorder {
public:
    // `files` reads back what the copy placed where the copy did not; `previous` outlives
    // this. Without `hashContents` files are recorded without their hash.
    explicit ManifestRecorder(FileOps& files, const ManifestIndex* previous = nullptr,
                              bool hashContents = true);

    // Safe to call from several threads at once; files are hashed outside the lock.
    void add(const CopiedEntry& entry);
    // The manifest's BLOB, entries sorted by path; nothing is held afterwards.
    std::string take();
    // Files hashed, as opposed to taken from the previous manifest.
    std::uint64_t hashed() const { return m_hashed; }

private:
    // Each entry is kept as its path and its encoded fields, packed in large blocks: a copy
    // of many files then holds about what its BLOB will take, not the decoded entries.
    struct Kept {
        const char* bytes;  // the path, then the fields
        std::uint32_t pathBytes;
        std::uint32_t fieldBytes;

        std::string_view path() const { return {bytes, pathBytes}; }
        std::string_view fields() const { return {bytes + pathBytes, fieldBytes}; }
    };
    void keep(std::string_view path, std::string_view fields);  // under m_mutex

    FileOps& m_files;
    const ManifestIndex* m_previous;  // read-only
    bool m_hashContents;
    std::mutex m_mutex;  // guards the members below
    std::vector<std::unique_ptr<char[]>> m_blocks;
    std::size_t m_blockSize = 0;  // of the last block
    std::size_t m_blockUsed = 0;
    std::vector<Kept> m_kept;
    std::uint64_t m_hashed = 0;
};

}  // namespace vantrel
