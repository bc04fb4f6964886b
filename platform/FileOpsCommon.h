#pragma once

#include <filesystem>

namespace vantrel::detail {

// "a/b/" names the same entry as "a/b"; the trailing separator would upset the OS calls.
inline std::filesystem::path withoutTrailingSeparator(const std::filesystem::path& p) {
    if (!p.has_filename() && p.has_relative_path()) {
        return p.parent_path();
    }
    return p;
}

}  // namespace vantrel::detail
