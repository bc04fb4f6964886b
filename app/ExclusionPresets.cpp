#include "app/ExclusionPresets.h"

#include <algorithm>

#include "engine/BackupError.h"
#include "engine/run/CopyNaming.h"
#include "platform/TextCodec.h"

namespace vantrel {

namespace {

// The path's parts, a trailing separator dropped.
std::vector<std::filesystem::path> partsOf(const std::filesystem::path& p) {
    std::vector<std::filesystem::path> parts;
    for (const auto& part : p.lexically_normal()) {
        parts.push_back(part);
    }
    while (!parts.empty() && parts.back().empty()) {
        parts.pop_back();
    }
    return parts;
}

}  // namespace

const std::vector<ExclusionPreset>& exclusionPresets() {
    static const std::vector<ExclusionPreset> presets = {
        {"临时文件", "*.tmp|*.temp|~$*|Thumbs.db|desktop.ini|.DS_Store"},
        {"Office 临时文件", "~$*|*.tmp|Thumbs.db|desktop.ini"},
        {"缓存与依赖", "node_modules/|__pycache__/|.cache/|*.pyc"},
        {"回收站", "$RECYCLE.BIN/|System Volume Information/"}};
    return presets;
}

std::string withPatterns(std::string_view rules, std::string_view patterns) {
    std::string text(rules);
    const auto holds = [&](std::string_view pattern) {
        for (std::size_t start = 0; start <= text.size();) {
            const std::size_t end = std::min(text.find('|', start), text.size());
            if (std::string_view(text).substr(start, end - start) == pattern) {
                return true;
            }
            start = end + 1;
        }
        return false;
    };
    for (std::size_t start = 0; start < patterns.size();) {
        const std::size_t end = std::min(patterns.find('|', start), patterns.size());
        const std::string_view pattern = patterns.substr(start, end - start);
        start = end + 1;
        if (!holds(pattern)) {
            text += (text.empty() ? "" : "|") + std::string(pattern);
        }
    }
    return text;
}

std::string folderPattern(const std::filesystem::path& source,
                          const std::filesystem::path& folder) {
    const std::string shown = pathToUtf8(folder);
    if (!isWithin(folder, source)) {
        throw BackupError("所选文件夹“" + shown + "”不在备份文件源地址“" + pathToUtf8(source) +
                          "”之内：只能排除源文件夹里的文件夹。");
    }
    // Within by the keys, the folder's parts past the source's are its path below it, as
    // the folder is spelled.
    const auto outer = partsOf(source);
    const auto inner = partsOf(folder);
    if (inner.size() <= outer.size()) {
        throw BackupError("所选文件夹就是备份文件源地址本身：排除它，备份就是空的。");
    }
    std::string pattern;
    for (std::size_t i = outer.size(); i < inner.size(); ++i) {
        const std::string name = pathToUtf8(inner[i]);
        // "|" separates rules; "*" and "?" would match other names too.
        if (name.find_first_of("|*?") != std::string::npos) {
            throw BackupError("文件夹名“" + name + "”含有“|”、“*”或“?”，无法写成排除规则。");
        }
        pattern += "/" + name;
    }
    return pattern + "/";
}

}  // namespace vantrel
