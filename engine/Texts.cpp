#include "engine/Texts.h"

#include <algorithm>

#include "engine/BackupJob.h"
#include "engine/BackupRun.h"

namespace vantrel {

int progressPermille(const CopyProgress& done, const TreeSize& total) {
    double share = -1;
    if (total.bytes > 0) {
        share = static_cast<double>(done.bytes) / static_cast<double>(total.bytes);
    } else if (total.files > 0) {
        share = static_cast<double>(done.files) / static_cast<double>(total.files);
    }
    if (share < 0) {
        return -1;
    }
    return static_cast<int>(std::min(share, 1.0) * 1000);
}

std::string progressStatus(const CopyProgress& done, const TreeSize& total) {
    std::string text(kCopyingStatus);
    if (total.files == 0 && total.bytes == 0) {
        return text + " " + std::to_string(done.files) + " 个文件，" + sizeText(done.bytes);
    }
    return text + " " + std::to_string(done.files) + "/" + std::to_string(total.files) +
           " 个文件，" + sizeText(done.bytes) + "/" + sizeText(total.bytes);
}

std::string timeLeftText(const CopyProgress& done, const TreeSize& total,
                         std::chrono::milliseconds elapsed) {
    const int permille = progressPermille(done, total);
    // Too early a guess only jumps about.
    if (permille <= 0 || elapsed < std::chrono::seconds(2)) {
        return {};
    }
    const auto left = std::chrono::milliseconds(static_cast<long long>(
        static_cast<double>(elapsed.count()) * (1000 - permille) / permille));
    return "剩余约 " + durationText(left);
}

}  // namespace vantrel
