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

TEST(ErrorText, DisksAndNetworkPlacesNotThereAreToldApart) {
    EXPECT_TRUE(meansNotConnected(std::make_error_code(std::errc::not_connected)));
    EXPECT_FALSE(meansNotConnected(std::make_error_code(std::errc::permission_denied)));
#ifdef _WIN32
    for (int code : {21, 53, 59, 64, 67, 121, 1167, 1326}) {
        const std::error_code e(code, std::system_category());
        EXPECT_TRUE(meansNotConnected(e)) << code;
        EXPECT_NE(describeError(e).find("（系统代码 "), std::string::npos) << code;
    }
    EXPECT_EQ(describeError(std::error_code(53, std::system_category())),
              "找不到网络路径（系统代码 53）");
    EXPECT_FALSE(meansNotConnected(std::error_code(5, std::system_category())));
#endif
}

}  // namespace
}  // namespace vantrel
