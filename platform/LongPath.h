#pragma once

#include <filesystem>

namespace vantrel {

// The spelling of `path` that the OS takes at any length. On Windows that is the absolute,
// normalised \\?\ form (\\?\UNC\ for a share), with no 260-character limit. Elsewhere the
// path as it is.
std::filesystem::path longPath(const std::filesystem::path& path);

}  // namespace vantrel
