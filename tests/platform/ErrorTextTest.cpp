#include "platform/ErrorText.h"

#include <cerrno>

#include "platform/ControlledFolders.h"
#include "platform/CopyFaults.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(ErrorText, ACommonCauseInChineseWithTheSystemsCodeAndAnyOtherInTheSystemsText) {
    const std::string denied = "没有访问权限（系统代码 " + std::to_string(EACCES) + "）";
    EXPECT_EQ(describeError(std::error_code(EACCES, std::generic_category())), denied);
#ifndef _WIN32
    EXPECT_EQ(describeError(std::error_code(EACCES, std::system_category())), denied);
#endif
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

TEST(ErrorText, AHeldFileSaysWhatToCloseByItsExtension) {
    const std::error_code busy = std::make_error_code(std::errc::device_or_resource_busy);
    const std::string held = describeError(busy);
    EXPECT_EQ(describeNotCopied(u8"存档/Mail.OST", busy), held + "，请关闭 Outlook 后重新备份");
    EXPECT_EQ(describeNotCopied("disk.vhdx", busy), held + "，请关闭虚拟机后重新备份");
    EXPECT_EQ(describeNotCopied("a.txt", busy), held + "，请关闭正在使用它的程序后重新备份");
    const std::error_code denied = std::make_error_code(std::errc::permission_denied);
    EXPECT_EQ(describeNotCopied("a.pst", denied), describeError(denied));
}

// Only a refused write inside a protected folder, while the protection is on, names it.
TEST(ErrorText, AWriteRefusedInAControlledFolderSaysWhichProgramsToAllow) {
    ControlledFolders controlled{true, {u8R"(C:\Users\李\Documents)"}};
    const auto before = setControlledFoldersReader([&] { return controlled; });
    const std::error_code denied = std::make_error_code(std::errc::permission_denied);
    const std::string inside =
        describeWriteError(u8"c:/users/李/documents/备份/a_20240101", denied);
    EXPECT_EQ(inside.rfind(describeError(denied), 0), 0u);
    EXPECT_NE(inside.find(R"(“C:\Users\李\Documents”受 Windows 安全中心的“受控文件夹访问”保护)"),
              std::string::npos);
    EXPECT_NE(inside.find("vantrel.exe 和 vantrel-cli.exe"), std::string::npos);
    for (const char8_t* outside : {u8"C:/Users/李/Documents2/x", u8"D:/备份"}) {
        EXPECT_EQ(describeWriteError(outside, denied), describeError(denied));
    }
    const std::error_code full = std::make_error_code(std::errc::no_space_on_device);
    EXPECT_EQ(describeWriteError(u8"C:/Users/李/Documents/x", full), describeError(full));
    controlled.on = false;
    EXPECT_EQ(describeWriteError(u8"C:/Users/李/Documents/x", denied), describeError(denied));
    setControlledFoldersReader(before);
}

// A held file gets one more try; then it goes as other unreadable entries go.
TEST(CopyFaults, AHeldFileIsTriedOnceMoreAndTheCopysOwnFaultsStopIt) {
    using enum EntryFault;
    EXPECT_EQ(faultStep(Held, true, false, false), FaultStep::RetryLater);
    EXPECT_EQ(faultStep(Held, false, true, false), FaultStep::RetryLater);
    EXPECT_EQ(faultStep(Held, true, false, true), FaultStep::LeaveOut);
    EXPECT_EQ(faultStep(Held, false, false, true), FaultStep::StopCopy);
    EXPECT_EQ(faultStep(Held, true, true, true), FaultStep::StopCopy);
    EXPECT_EQ(faultStep(Vanished, true, false, false), FaultStep::Drop);
    EXPECT_EQ(faultStep(Vanished, true, true, false), FaultStep::StopCopy);
    EXPECT_EQ(faultStep(Run, true, false, false), FaultStep::StopCopy);
}

}  // namespace
}  // namespace vantrel
