#include "engine/notice/Notice.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vantrel {
namespace {

RunResult failedRun(RunTrigger trigger, const std::string& message) {
    RunResult result;
    result.record.trigger = trigger;
    result.record.outcome = RunOutcome::Failed;
    result.record.message = message;
    result.error = std::make_exception_ptr(std::runtime_error(message));
    return result;
}

TEST(Notice, AnUnattendedFailureNamesItsJobAndIsToldOncePerKind) {
    std::string last;
    NoticeContext context{"/jobs/a", {}, std::nullopt, &last};
    const RunNotice first = makeNotice(failedRun(RunTrigger::CatchUp, "磁盘已满"), context);
    EXPECT_EQ(first.level, NoticeLevel::Critical);
    EXPECT_EQ(first.title, "Vantrel：/jobs/a");
    EXPECT_EQ(first.text, "备份失败：磁盘已满");
    EXPECT_EQ(first.failure, "补做错过的备份失败（工作目录：/jobs/a）：\n磁盘已满");
    EXPECT_FALSE(first.repeatsLast);
    EXPECT_TRUE(makeNotice(failedRun(RunTrigger::Timetable, "磁盘已满"), context).repeatsLast);
    EXPECT_FALSE(makeNotice(failedRun(RunTrigger::Timetable, "只读"), context).repeatsLast);
    // A run by hand is always told, and in its own words; a success in between starts over.
    EXPECT_FALSE(makeNotice(failedRun(RunTrigger::Manual, "只读"), context).repeatsLast);
    EXPECT_EQ(makeNotice(failedRun(RunTrigger::Manual, "只读"), context).failure, "只读");
    RunResult success;
    success.record.trigger = RunTrigger::Timetable;
    EXPECT_EQ(makeNotice(success, context).level, NoticeLevel::Quiet);
    EXPECT_FALSE(makeNotice(failedRun(RunTrigger::Timetable, "只读"), context).repeatsLast);
}

TEST(Notice, ASuccessIsQuietUnlessTheGuardOrTheClockHasSomethingToSay) {
    RunResult result;
    NoticeContext context{"/j", {"旧备份未能删除"}, std::string("3 天未备份"), nullptr};
    EXPECT_EQ(makeNotice(result, context).text, "备份已逾期：3 天未备份");
    result.report.massChange = "改动过多，暂不清理";
    EXPECT_EQ(makeNotice(result, context).text, "改动过多，暂不清理");
    EXPECT_EQ(makeNotice(result, context).level, NoticeLevel::Warning);
    result.record.outcome = RunOutcome::Incomplete;
    result.record.message = "2 项未能复制";
    result.report.skipped.push_back({std::filesystem::path(u8"甲/乙.txt"), {}});
    const RunNotice incomplete = makeNotice(result, context);
    EXPECT_EQ(incomplete.text, "备份不完整：2 项未能复制");
    ASSERT_EQ(incomplete.entries.size(), 1u);
    EXPECT_EQ(incomplete.entries[0].path, "甲/乙.txt");
    EXPECT_EQ(incomplete.entriesHeading(), "以下 1 项未能复制：");
}

}  // namespace
}  // namespace vantrel
