#include "engine/places/SafePath.h"

#include <algorithm>

#include "engine/TextRules.h"
#include "engine/run/CopyNaming.h"

namespace vantrel {

namespace {

#ifdef _WIN32
constexpr std::string_view kRefusedInName{"\\:\0", 3};
#else
constexpr std::string_view kRefusedInName{"\0", 1};
#endif

}  // namespace

bool isSafeRelativePath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.find_first_of(kRefusedInName) != path.npos) {
        return false;
    }
    for (std::size_t start = 0; start <= path.size();) {
        const auto end = std::min(path.find('/', start), path.size());
        const std::string_view name = path.substr(start, end - start);
        if (name.empty() || name == "." || name == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

bool isSafeCopyPlace(std::string_view recordPath) {
    if (recordPath.find('\0') != recordPath.npos) {
        return false;
    }
    // A target folder written relative to the job's folder may climb out of it first
    // ("../bak/data_20261210"); a ".." after any other name leads somewhere else.
    bool climbing = recordPath.empty() || !isPathSeparator(recordPath.front());
    std::size_t start = 0;
    for (std::size_t i = 0; i <= recordPath.size(); ++i) {
        if (i == recordPath.size() || isPathSeparator(recordPath[i])) {
            const std::string_view name = recordPath.substr(start, i - start);
            if (name == "..") {
                if (!climbing) {
                    return false;
                }
            } else if (!name.empty() && name != ".") {
                climbing = false;
            }
            start = i + 1;
        }
    }
    return looksLikeCopy(recordPath);
}

}  // namespace vantrel
