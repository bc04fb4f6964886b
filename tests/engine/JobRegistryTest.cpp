#include "engine/places/JobRegistry.h"

#include <gtest/gtest.h>

#include <thread>

#include "engine/places/SourcePath.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::writeBytes;

class JobRegistryTest : public ::testing::Test {
protected:
    // A job folder whose config.ini names `source` and `target`.
    fs::path job(const std::string& name, const fs::path& source, const fs::path& target) {
        const fs::path dir = tmp / ("job-" + name);
        fs::create_directories(dir);
        writeBytes(dir / "config.ini",
                   utf8ToGbk("[备份设置]\r\n备份文件源地址=" + pathToUtf8(source) +
                             "\r\n备份文件目的地址=" + pathToUtf8(target) + "\r\n"));
        return dir;
    }
    JobForPath find(const std::vector<fs::path>& jobs, const fs::path& p) {
        return findJobFor(files, clock, jobs, pathToUtf8(p));
    }

    test::TempDir tmp;
    RealFileOps files;
    test::FakeClock clock{test::at(2026, 12, 10, 9, 0, 0)};
    JobRegistry registry{tmp / "用户配置"};
};

TEST_F(JobRegistryTest, ListsTheLastUsedFirstAndDropsFoldersWithoutAJob) {
    const fs::path a = job("a", tmp / "a", tmp / "bak");
    const fs::path b = job("b", tmp / "b", tmp / "bak");
    fs::create_directories(registry.folder());
    writeBytes(registry.listFile(), "job-a\n\xff\xfe\r\n\n");  // damaged: nothing usable
    EXPECT_TRUE(registry.remember(a));
    EXPECT_TRUE(registry.remember(b));
    EXPECT_TRUE(registry.remember(a / "."));  // one spelling more of the same folder
    EXPECT_EQ(registry.jobs(), (std::vector<fs::path>{a, b}));

    fs::remove_all(a);
    fs::remove(b / "config.ini");
    const fs::path c = job("c", tmp / "c", tmp / "bak");
    EXPECT_TRUE(registry.remember(c));
    EXPECT_EQ(registry.jobs(), std::vector<fs::path>{c});
    EXPECT_EQ(test::readBytes(registry.listFile()), pathToUtf8(c) + "\n");  // pruned on disk
}

TEST_F(JobRegistryTest, TwoWritersAtOnceLoseNoEntry) {
    std::vector<fs::path> dirs;
    for (int i = 0; i < 16; ++i) {
        dirs.push_back(job(std::to_string(i), tmp / "s", tmp / "bak"));
    }
    const auto add = [&](int from) {
        JobRegistry own(registry.folder());
        for (int i = from; i < 16; i += 2) {
            own.remember(dirs[static_cast<std::size_t>(i)]);
        }
    };
    std::thread even(add, 0);
    std::thread odd(add, 1);
    even.join();
    odd.join();
    EXPECT_EQ(registry.jobs().size(), 16u);
}

TEST_F(JobRegistryTest, TheDeepestSourceHoldingThePathWins) {
    const fs::path outer = job("outer", tmp / "数据", tmp / "bak");
    const fs::path inner = job("inner", tmp / "数据" / u8"项目", tmp / "bak2");
    for (const auto& order : {std::vector{outer, inner}, std::vector{inner, outer}}) {
        const auto found = find(order, tmp / "数据" / u8"项目" / u8"报告.docx");
        EXPECT_EQ(found.dir, inner);
        EXPECT_EQ(found.path, pathToUtf8(tmp / "数据" / u8"项目" / u8"报告.docx"));
        EXPECT_EQ(find(order, tmp / "数据" / u8"笔记.txt").dir, outer);
        EXPECT_EQ(find(order, tmp / "数据" / u8"项目").dir, inner);
    }
}

TEST_F(JobRegistryTest, APathInNoJobIsSaidSo) {
    const std::vector<fs::path> jobs{job("a", tmp / "数据", tmp / "bak")};
    for (const fs::path& p : {tmp / "数据2" / "x", tmp / "bak", tmp / "bak" / u8"其他_20261201"}) {
        try {
            find(jobs, p);
            ADD_FAILURE() << p;
        } catch (const RequestRefused& e) {
            EXPECT_EQ(e.what(), "没有备份任务包含“" + pathToUtf8(p) + "”");
        }
    }
    EXPECT_THROW(find({}, tmp / "数据"), RequestRefused);
}

TEST_F(JobRegistryTest, APathInsideACopyStandsForTheSourcesPath) {
    const std::vector<fs::path> jobs{job("a", tmp / "数据", tmp / "bak"),
                                     job("b", tmp / "其他", tmp / "bak")};
    const auto found = find(jobs, tmp / "bak" / u8"数据_20261201" / u8"子" / "a.txt");
    EXPECT_EQ(found.dir, jobs[0]);
    EXPECT_EQ(found.path, pathToUtf8(tmp / "数据" / u8"子" / "a.txt"));
    EXPECT_EQ(find(jobs, tmp / "bak" / u8"其他_20261201").path, pathToUtf8(tmp / "其他"));
}

TEST_F(JobRegistryTest, ARemovedJobFolderHoldsNothing) {
    const fs::path gone = job("gone", tmp / "数据" / u8"项目", tmp / "bak");
    const fs::path stays = job("stays", tmp / "数据", tmp / "bak");
    registry.remember(stays);
    registry.remember(gone);
    fs::remove_all(gone);
    EXPECT_EQ(findJobFor(files, clock, registry.jobs(), pathToUtf8(tmp / "数据" / u8"项目")).dir,
              stays);
}

}  // namespace
}  // namespace vantrel
