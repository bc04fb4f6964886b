#include "engine/records/CopyJournal.h"
#include "engine/run/CopySlot.h"

#include <gtest/gtest.h>

#include "engine/manifest/ManifestCheck.h"
#include "engine/manifest/ManifestCodec.h"
#include "engine/manifest/ManifestStore.h"
#include "engine/places/JobPlaces.h"
#include "engine/records/OperationLog.h"
#include "engine/records/RunHistory.h"
#include "engine/run/BackupRun.h"
#include "platform/Database.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/FaultyFileOps.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::at;
using test::readBytes;
using test::writeBytes;
using Step = CopySlot::Step;

// Stands for the process dying: nothing after the step runs, no clean-up either.
struct Killed {};

class CopySlotTest : public ::testing::Test {
protected:
    CopySlotTest() {
        fs::create_directories(work);
        fs::create_directories(source / "sub");
        writeBytes(source / "a.txt", "old");
        writeBytes(source / "sub" / "b.txt", "beta");
    }

    // A run of the day replacing the earlier copy, killed right after `killAt`.
    void killedRun(Step killAt) {
        BackupRecordStore store(ws.databaseFile());
        CopySlot slot(ws, store, resolveRun(ws, settings, clock.now()).target);
        slot.recover();
        ASSERT_TRUE(files.copyTree(source, slot.staging(), {}, {}).ok());
        slot.setStepHook([killAt](Step s) {
            if (s == killAt) {
                throw Killed{};
            }
        });
        const auto line =
            OperationLog::composeLine(clock.now(), pathToUtf8(source), pathToUtf8(target));
        killedManifest = manifestOfTree(files, slot.staging());
        RunRecord run;
        run.started = clock.now();
        run.trigger = RunTrigger::Timetable;
        run.files = 3;
        run.targetPath = pathToUtf8(target);
        EXPECT_THROW(slot.commit(line, "2014-05-15", {}, encodeManifest(killedManifest), run),
                     Killed);
    }
    // Every row with its manifest: a reader never sees one without the other.
    void expectEveryRowHasItsManifest() const {
        ManifestStore manifests(ws.databaseFile());
        for (const BackupRecord& row : BackupRecordStore(ws.databaseFile()).list()) {
            EXPECT_TRUE(manifests.load(row.id).has_value()) << "row " << row.id;
        }
    }
    std::string holds() const {
        std::error_code ec;
        if (!fs::exists(target, ec)) {
            return "nothing";
        }
        const bool complete =
            fs::exists(target / "sub" / "b.txt") &&
            fs::exists(target / "c.txt") == (readBytes(target / "a.txt") != "old");
        return complete ? readBytes(target / "a.txt") : "a broken copy";
    }
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(bak)) {
            const auto name = pathToUtf8(e.path().filename());
            if (e.path() != target && !name.ends_with(".lock") && !name.ends_with(".mark")) {
                names.push_back(name);
            }
        }
        return names;
    }
    size_t rows() const { return BackupRecordStore(ws.databaseFile()).list().size(); }
    std::vector<JournalEntry> journal() const {
        RecordDatabase records(ws.databaseFile());
        return CopyJournal(records).entries();
    }
    size_t lines() const { return OperationLog(ws.logFile()).LoadLines().size(); }
    // The history rows, as "<outcome>/<message>"; only the killed run writes any.
    std::vector<std::string> history() const {
        std::vector<std::string> rows;
        for (const RunRecord& r : RunHistory(ws.databaseFile()).list()) {
            rows.push_back(std::string(storedName(r.outcome)) + "/" + r.message);
        }
        return rows;
    }

    Manifest killedManifest;

    test::TempDir dir;
    fs::path work = dir / "work";
    fs::path bak = dir / "bak";
    fs::path source = dir / "src" / "data";
    fs::path target = bak / "data_20140515";
    test::FakeClock clock{at(2014, 5, 15, 9, 59, 50)};
    test::FakeUi ui;
    test::FaultyFileOps files;
    Workspace ws{work, files, clock, ui};
    TBackupSettings settings{pathToUtf8(source), pathToUtf8(bak), {}, {}, {}};
};

TEST_F(CopySlotTest, AKillAtAnyStepLeavesACompleteCopyAndTheNextRunCleansUp) {
    const struct {
        Step step;
        bool noExchange;
        const char* holdsAfterKill;
        size_t rowsAfterNextRun;    // the first run, the killed one when finished, the next one
        const char* killedRunsRow;  // its history row after the next run; "" for none
    } cases[] = {
        {Step::Journaled, false, "old", 2, ""},
        {Step::Swapped, false, "new", 3, "success/运行在记录完成前中断，由之后的一次运行补记"},
        {Step::Logged, false, "new", 3, "success/运行在记录完成前中断，由之后的一次运行补记"},
        {Step::Recorded, false, "new", 3, "success/"},
        {Step::Journaled, true, "old", 2, ""},
        {Step::SetAside, true, "nothing", 2, ""},
        {Step::Swapped, true, "new", 3, "success/运行在记录完成前中断，由之后的一次运行补记"},
        {Step::Logged, true, "new", 3, "success/运行在记录完成前中断，由之后的一次运行补记"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "step " << static_cast<int>(c.step) << " rename aside " << c.noExchange);
        fs::remove_all(work);
        fs::remove_all(bak);
        fs::create_directories(work);
        writeBytes(source / "a.txt", "old");
        fs::remove(source / "c.txt");
        files.noExchange = c.noExchange;
        ASSERT_TRUE(RunBackup(ws, settings).ran);

        writeBytes(source / "a.txt", "new");
        writeBytes(source / "c.txt", "gamma");
        killedRun(c.step);
        EXPECT_EQ(holds(), c.holdsAfterKill);
        expectEveryRowHasItsManifest();
        // While the journal holds the replacement, no row's manifest is the dated copy's.
        EXPECT_EQ(verifyCopy(ws, "20140515").refusal.find("正在被替换") != std::string::npos,
                  !journal().empty());

        writeBytes(source / "a.txt", "next");
        ASSERT_TRUE(RunBackup(ws, settings).ran);
        EXPECT_EQ(holds(), "next");
        EXPECT_TRUE(leftovers().empty()) << leftovers().front();
        EXPECT_EQ(rows(), c.rowsAfterNextRun);
        EXPECT_EQ(lines(), rows());
        EXPECT_TRUE(journal().empty());
        expectEveryRowHasItsManifest();
        const std::string killedRow = c.killedRunsRow;
        EXPECT_EQ(history(), killedRow.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{killedRow});
        if (c.rowsAfterNextRun == 3) {
            // The killed run's copy keeps the manifest it was made with.
            ManifestStore manifests(ws.databaseFile());
            EXPECT_EQ(manifests.load(BackupRecordStore(ws.databaseFile()).list()[1].id),
                      killedManifest);
        }
    }
}

TEST_F(CopySlotTest, AnEntryForATargetOutOfReachWaitsAndBlocksNothing) {
    ASSERT_TRUE(RunBackup(ws, settings).ran);
    writeBytes(source / "c.txt", "gamma");
    killedRun(Step::Journaled);
    fs::rename(bak, dir / "unplugged");
    settings.TargetFolder = pathToUtf8(dir / "bak2");
    ASSERT_TRUE(RunBackup(ws, settings).ran);
    EXPECT_EQ(journal().size(), 1u);
    fs::rename(dir / "unplugged", bak);  // plugged in again: undone by the next run
    ASSERT_TRUE(RunBackup(ws, settings).ran);
    EXPECT_TRUE(journal().empty());
    EXPECT_EQ(holds(), "old");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(CopySlotTest, AJournalRowLeadingOutsideIsReportedNotFollowed) {
    ASSERT_TRUE(RunBackup(ws, settings).ran);
    killedRun(Step::Journaled);
    for (const char* name : {"precious", ".vantrel-x-20140515.old"}) {
        fs::create_directories(dir / name);
        writeBytes(dir / name / "keep.txt", "mine");
    }
    Database(ws.databaseFile(), Database::Mode::OpenExisting)
        .exec("UPDATE vantrel_journal SET staging = '" + pathToUtf8(dir / "precious") +
              "', aside = '" + pathToUtf8(dir / ".vantrel-x-20140515.old") + "'");
    ASSERT_TRUE(RunBackup(ws, settings).ran);
    EXPECT_EQ(readBytes(dir / "precious" / "keep.txt"), "mine");
    EXPECT_EQ(readBytes(dir / ".vantrel-x-20140515.old" / "keep.txt"), "mine");
    ASSERT_FALSE(ui.messages.empty());
    EXPECT_NE(ui.messages.front().find("无效"), std::string::npos) << ui.messages.front();
    EXPECT_TRUE(journal().empty());
}

TEST_F(CopySlotTest, ARunOnTheNextDayFinishesTheDayBefore) {
    ASSERT_TRUE(RunBackup(ws, settings).ran);
    writeBytes(source / "a.txt", "new");
    writeBytes(source / "c.txt", "gamma");
    settings.ExcludeRules = "*.bak";
    killedRun(Step::Swapped);
    clock.set(at(2014, 5, 16, 9, 59, 50));
    settings.ExcludeRules.clear();
    ASSERT_TRUE(RunBackup(ws, settings).ran);
    EXPECT_EQ(holds(), "new");
    EXPECT_TRUE(journal().empty());
    EXPECT_EQ(rows(), 3u);
    // The finished copy is recorded with the rules it was made with.
    EXPECT_EQ(BackupRecordStore(ws.databaseFile()).list()[1].rules, "*.bak");
    EXPECT_EQ(lines(), 3u);
    const auto left = leftovers();
    EXPECT_EQ(left, std::vector<std::string>{"data_20140516"});
}

TEST(CopySlotNames, AreShortFixedAndTheJobsOwn) {
    test::TempDir dir;
    RealFileOps files;
    const auto a = jobKey(files, dir.path() / "a");
    EXPECT_EQ(a.size(), 8u);
    EXPECT_EQ(a, jobKey(files, dir.path() / "x" / ".." / "a"));
    EXPECT_NE(a, jobKey(files, dir.path() / "b"));
    const auto lock = CopySlot::lockFileFor(files, dir.path() / "bak" / "data_20140515");
    EXPECT_EQ(lock.parent_path(), dir.path() / "bak");
    EXPECT_EQ(lock, CopySlot::lockFileFor(files, dir.path() / "bak" / "." / "data_20140515"));
    EXPECT_EQ(lock,
              CopySlot::lockFileFor(files, dir.path() / "bak" / "data_20140516"));  // no pile-up
    EXPECT_NE(lock, CopySlot::lockFileFor(files, dir.path() / "bak" / "date_20140515"));
}

}  // namespace
}  // namespace vantrel
