#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// The presets menu of 排除规则: each preset's caption and its patterns, separated by "|".
struct ExclusionPreset {
    std::string_view caption;
    std::string_view patterns;
};
const std::vector<ExclusionPreset>& exclusionPresets();

// The rules' text with `patterns` added; those it already holds are not repeated.
std::string withPatterns(std::string_view rules, std::string_view patterns);

// The pattern that leaves out `folder` and nothing else: "/报表/2024/", anchored at `source`,
// folders only. Throws BackupError, saying why, for a folder that is not inside the source
// (the source itself included) or whose name no pattern can spell.
std::string folderPattern(const std::filesystem::path& source, const std::filesystem::path& folder);

}  // namespace vantrel
