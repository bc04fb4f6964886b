#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>

#include "engine/Manifest.h"
#include "platform/FileOps.h"

namespace vantrel {

// Collects the manifest of a copy from the entries the copy reports as it places them.
// A file linked from the previous copy takes its hash from that copy's manifest.
class ManifestRecorder {
public:
    // `files` reads back what the copy placed where the copy did not; `previous`, sorted by
    // path, outlives this. Without `hashContents` files are recorded without their hash.
    explicit ManifestRecorder(FileOps& files, const Manifest* previous = nullptr,
                              bool hashContents = true);

    // Safe to call from several threads at once; files are hashed outside the lock.
    void add(const CopiedEntry& entry);
    // The entries, sorted by path.
    Manifest take();
    // Files hashed, as opposed to taken from the previous manifest.
    std::uint64_t hashed() const { return m_hashed; }

private:
    FileOps& m_files;
    const Manifest* m_previous;  // read-only
    bool m_hashContents;
    std::mutex m_mutex;  // guards the two below
    Manifest m_entries;
    std::uint64_t m_hashed = 0;
};

}  // namespace vantrel
