#include "platform/LongPath.h"

#include <string>

namespace vantrel {

std::filesystem::path longPath(const std::filesystem::path& path) {
#ifdef _WIN32
    // The system takes a \\?\ path as it is, so doubled separators, "." and ".." go first.
    const std::wstring& given = path.native();
    if (given.starts_with(LR"(\\?\)")) {
        return path;
    }
    std::error_code ec;
    const auto absolute = path.is_absolute() ? path : std::filesystem::absolute(path, ec);
    const std::wstring native = absolute.lexically_normal().make_preferred().native();
    if (native.starts_with(LR"(\\)")) {
        return LR"(\\?\UNC\)" + native.substr(2);
    }
    return LR"(\\?\)" + native;
#else
    return path;
#endif
}

}  // namespace vantrel
