#include "platform/ErrorText.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(ErrorText, CommonCausesInChineseWithTheSystemsCode) {
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {ENOENT, "文件或文件夹不存在"},
        {EACCES, "没有访问权限"},
        {ENOSPC, "磁盘空间不足"},
        {EROFS, "文件系统是只读的"},
        {EBUSY, "文件正被其他程序使用"},
        {ENAMETOOLONG, "文件名或路径太长"},
        {EMLINK, "链接过多"},
        {EIO, "读写设备出错"},
        {ENOTDIR, "路径不存在"},
    };
    for (const auto& c : cases) {
        const std::string expected =
            std::string(c.text) + "（系统代码 " + std::to_string(c.code) + "）";
        EXPECT_EQ(describeError(std::error_code(c.code, std::generic_category())), expected);
#ifndef _WIN32
        EXPECT_EQ(describeError(std::error_code(c.code, std::system_category())), expected);
#endif
    }
    // Anything else keeps the system's own text.
    const std::error_code other(EDOM, std::generic_category());
    EXPECT_EQ(describeError(other), other.message());
}

}  // namespace
}  // namespace vantrel
