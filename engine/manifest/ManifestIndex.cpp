#include "engine/manifest/ManifestIndex.h"

#include <algorithm>
#include <utility>

#include "engine/manifest/ManifestCodec.h"

namespace vantrel {

ManifestIndex::ManifestIndex(std::string blob) : m_blob(std::move(blob)) {
    // Read twice, so that the paths are given their room once.
    std::size_t pathBytes = 0;
    for (ManifestReader in(m_blob); in.next();) {
        pathBytes += in.path().size();
    }
    ManifestReader in(m_blob);
    m_format = in.format();
    m_paths.reserve(pathBytes);
    m_ends.reserve(static_cast<std::size_t>(in.count()));
    m_fields.reserve(static_cast<std::size_t>(in.count()));
    while (in.next()) {
        m_paths.append(in.path());
        m_ends.push_back(m_paths.size());
        m_fields.push_back(in.fieldsOffset());
    }
}

std::string_view ManifestIndex::pathAt(std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : m_ends[i - 1];
    return std::string_view(m_paths).substr(begin, m_ends[i] - begin);
}

std::optional<ManifestEntry> ManifestIndex::find(std::string_view path) const {
    std::size_t low = 0;
    std::size_t high = size();
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (pathAt(mid) < path) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    if (low == size() || pathAt(low) != path) {
        return std::nullopt;
    }
    ManifestEntry e;
    e.path = path;
    readFieldsAt(m_blob, m_format, m_fields[low], e);
    return e;
}

}  // namespace vantrel
