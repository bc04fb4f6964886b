#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/manifest/Manifest.h"

namespace vantrel {

// A manifest kept as its BLOB, with its paths laid out for lookups: a run that shares files
// with the previous copy asks about every file, and the decoded entries would take several
// times the memory.
class ManifestIndex {
public:
    // Reads the whole BLOB once. Throws DamagedManifest for one the codec did not write.
    explicit ManifestIndex(std::string blob);

    std::size_t size() const { return m_fields.size(); }
    // The entry at `path`; none when the manifest lacks it. Safe from several threads.
    std::optional<ManifestEntry> find(std::string_view path) const;

private:
    std::string_view pathAt(std::size_t i) const;

    std::string m_blob;
    unsigned char m_format = 0;
    std::string m_paths;                // every path, in order, one after the other
    std::vector<std::size_t> m_ends;    // where each path ends in m_paths
    std::vector<std::size_t> m_fields;  // where each entry's fields begin in m_blob
};

}  // namespace vantrel
