#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// One entry a copy left out, with the OS's reason, as kept with the copy (UTF-8).
struct FailedEntry {
    std::string path;
    std::string reason;

    friend bool operator==(const FailedEntry&, const FailedEntry&) = default;
};

// Failed entries as the record database keeps them: one per line, path and reason split by a
// tab; backslashes, tabs and line ends inside them escaped.
std::string encodeFailed(const std::vector<FailedEntry>& failed);
std::vector<FailedEntry> decodeFailed(std::string_view text);

}  // namespace vantrel
