#include "engine/SafePath.h"

#include <algorithm>

#include "engine/CopyNaming.h"
#include "engine/TextRules.h"

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
    std::size_t start = 0;
    for (std::size_t i = 0; i <= recordPath.size(); ++i) {
        if (i == recordPath.size() || isPathSeparator(recordPath[i])) {
            if (recordPath.substr(start, i - start) == "..") {
                return false;
            }
            start = i + 1;
        }
    }
    return looksLikeCopy(recordPath);
}

}  // namespace vantrel
