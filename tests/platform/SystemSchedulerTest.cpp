#include "platform/SystemScheduler.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

TEST(SystemScheduler, OnlyAJobKeyAfterThePrefixNamesAJobsTask) {
    EXPECT_TRUE(isJobTaskName("Vantrel 0a1b2c3d"));
    for (const char* other :
         {"Vantrel Updater", "Vantrel 0A1B2C3D", "Vantrel 0a1b2c3d9", "Vantrel 0a1b2c3",
          "vantrel 0a1b2c3d", "Vantrel  0a1b2c3", "MyVantrel 0a1b2c3d", "Vantrel", ""}) {
        EXPECT_FALSE(isJobTaskName(other)) << other;
    }
}

// A timer instance is a job's only where the drop-in `install` writes is there: one the user
// made with `systemctl --user edit` beside the shipped timer is not ours to remove.
TEST(SystemScheduler, TimerInstancesAreThoseCarryingOurDropIn) {
#ifdef _WIN32
    GTEST_SKIP() << "systemd units: a unit name's \\ would be a folder on Windows";
#endif
    const test::TempDir units;
    const auto dropIn = [&](const char* folder, const char* file) {
        std::filesystem::create_directories(units / folder);
        test::writeBytes(units / folder / file, "[Timer]\n");
    };
    dropIn(R"(vantrel-backup@home-u-\x20job.timer.d)", "vantrel.conf");
    dropIn("vantrel-backup@home-u-other.timer.d", "override.conf");
    dropIn("vantrel-schedule@home-u-job.service.d", "vantrel.conf");
    dropIn("vantrel-backup@.timer.d", "vantrel.conf");
    test::writeBytes(units / "vantrel-backup@home-u-file.timer.d", "");
    EXPECT_EQ(timerInstancesIn(units.path()), std::vector<std::string>{R"(home-u-\x20job)"});
    EXPECT_TRUE(timerInstancesIn(units / "missing").empty());
}

struct FakeScheduler final : SystemScheduler {
    void install(const std::string& name, const std::string& definition) override {
        tasks[name] = definition;
    }
    bool remove(const std::string& name) override {
        if (name == refused) {
            throw std::runtime_error("任务计划程序无法删除任务（错误 0x80070005）");
        }
        return tasks.erase(name) > 0;
    }
    std::optional<std::string> status(const std::string&) override { return std::nullopt; }
    std::vector<std::string> jobEntries() override {
        std::vector<std::string> names;
        for (const auto& [name, definition] : tasks) {
            names.push_back(name);
        }
        return names;
    }
    std::map<std::string, std::string> tasks;
    std::string refused;
};

// One entry that cannot go does not keep the others: each is tried, the count tells what
// went, and the first reason is kept for the user.
TEST(SystemScheduler, RemovingEveryEntryTriesEachAndCountsWhatWent) {
    FakeScheduler scheduler;
    EXPECT_EQ(removeEveryJobEntry(scheduler).count, 0u);
    for (const char* name : {"Vantrel 00000001", "Vantrel 00000002", "Vantrel 00000003"}) {
        scheduler.install(name, "<Task/>");
    }
    scheduler.refused = "Vantrel 00000002";
    const RemovedEntries removed = removeEveryJobEntry(scheduler);
    EXPECT_EQ(removed.count, 2u);
    EXPECT_EQ(removed.firstError, "任务计划程序无法删除任务（错误 0x80070005）");
    EXPECT_EQ(scheduler.jobEntries(), std::vector<std::string>{"Vantrel 00000002"});
}

}  // namespace
}  // namespace vantrel
