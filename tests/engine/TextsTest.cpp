#include "engine/Texts.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(Texts, ProgressShowsShareDoneAndTimeLeft) {
    const struct {
        CopyProgress done;
        TreeSize total;
        int elapsedMs;
        const char* status;
        int permille;
        const char* left;
    } cases[] = {
        {{5, 256 * 1024},
         {20, 0, 1024 * 1024, 0},
         10000,
         "文件备份中…… 5/20 个文件，256.0 KB/1.0 MB",
         250,
         "剩余约 30 秒"},
        // Too early to tell the time left.
        {{1, 1000}, {20, 0, 4000, 0}, 1000, "文件备份中…… 1/20 个文件，1000 B/3.9 KB", 250, ""},
        // Empty files count by files.
        {{3, 0}, {4, 0, 0, 0}, 6000, "文件备份中…… 3/4 个文件，0 B/0 B", 750, "剩余约 2 秒"},
        // No total: neither share nor time left.
        {{7, 2048}, {}, 5000, "文件备份中…… 7 个文件，2.0 KB", -1, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(progressStatus(c.done, c.total), c.status);
        EXPECT_EQ(progressPermille(c.done, c.total), c.permille) << c.status;
        EXPECT_EQ(timeLeftText(c.done, c.total, std::chrono::milliseconds(c.elapsedMs)), c.left)
            << c.status;
    }
}

}  // namespace
}  // namespace vantrel
