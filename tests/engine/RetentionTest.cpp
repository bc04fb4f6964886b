#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/BackupError.h"
#include "engine/Texts.h"
#include "engine/records/BackupRecordStore.h"
#include "engine/run/CopyPlan.h"
#include "platform/TextCodec.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeUi.h"
#include "tests/support/FaultyFileOps.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using Ids = std::vector<std::int64_t>;
using test::writeBytes;

constexpr year_month_day kDay{year{2014}, month{5}, day{15}};

// Rows newest first, a letter each: 'c' a complete copy in the target folder, 'i' an
// incomplete one, 'o' one elsewhere, 'p' pinned, 'h' held by the guard, 's' holding files the
// source still has, '=' at the place of the row before it. Dated a day apart from the first
// of `dates`, or each its own.
std::vector<RetentionRow> rowsOf(std::string_view kinds, std::vector<year_month_day> dates) {
    std::vector<RetentionRow> rows;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        RetentionRow r;
        const char k = kinds[i];
        r.complete = k != 'i';
        r.inScope = k != 'o';
        r.pinned = k == 'p';
        r.held = k == 'h';
        r.holdsSourceFiles = k == 's';
        r.place.key = k == '=' ? rows.back().place.key : "copy" + std::to_string(i);
        r.date = dates.size() > i ? dates[i] : year_month_day(sys_days(dates[0]) - days(i));
        rows.push_back(r);
    }
    return rows;
}

TEST(Retention, SelectPrunableGivesEveryRowOneVerdictAsThePolicySays) {
    const year_month_day may{year{2026}, month{5}, day{31}};
    const auto on = [](int y, unsigned m, unsigned d) {
        return year_month_day{year{y}, month{m}, day{d}};
    };
    const std::vector<year_month_day> months{on(2026, 12, 20), on(2026, 12, 10), on(2026, 11, 25),
                                             on(2026, 11, 5), on(2026, 10, 1)};
    const std::vector<year_month_day> years{on(2026, 12, 20), on(2026, 3, 1), on(2025, 6, 1),
                                            on(2025, 2, 1), on(2024, 1, 1)};
    // K kept, D deleted, S superseded.
    const struct {
        const char* rows;
        RetentionPolicy policy;
        const char* fates;
        std::vector<year_month_day> dates;
    } cases[] = {
        {"cccc", {2}, "KKDD", {may}},
        {"iccc", {2}, "KKKD", {may}},  // newer than the oldest kept
        {"iiic", {2}, "KKDK", {may}},  // too few complete: the newest incomplete fill in
        {"occ", {1}, "KKD", {may}},    // elsewhere: kept, and counts for nothing
        {"pccc", {1}, "KKDD", {may}},  // pinned: kept, and not counted
        {"cchc", {1}, "KDKD", {may}},
        {"cscs", {1}, "KKDD", {may}},  // only the newest holding the source's files
        {"c=c", {1}, "KSD", {may}},
        {"ccccc", {1, 2, 0}, "KKDKD", months},
        {"ccccc", {1, 0, 2}, "KKDKD", years},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rows);
        const auto rows = rowsOf(c.rows, c.dates);
        const auto verdicts = selectPrunable(rows, c.policy);
        ASSERT_EQ(verdicts.size(), rows.size());
        std::string fates;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Verdict& v = verdicts[i];
            fates += "KSFD"[static_cast<int>(v.fate)];
            // Kept exactly when there is a reason; nothing outside the folder is deleted.
            EXPECT_EQ(v.fate == Fate::Kept, v.reasons.any()) << i;
            EXPECT_TRUE(v.fate != Fate::Deleted || rows[i].inScope) << i;
            if (v.fate == Fate::Superseded) {
                EXPECT_LT(v.supersededBy, i);
                EXPECT_TRUE(samePlace(rows[v.supersededBy].place, rows[i].place));
            }
        }
        EXPECT_EQ(fates, c.fates);
    }
}

TEST(Retention, IncompleteCopiesNeverCostACompleteOne) {
    test::FaultyFileOps files;
    // Oldest first: 'c' a complete copy, 'i' an incomplete one; then the ids that stay.
    const struct {
        const char* copies;
        double keep;
        Ids kept;
    } cases[] = {
        {"ccii", 2, {4, 3, 2, 1}},  // the two newest complete copies and all newer
        {"cciii", 1, {5, 4, 3, 2}}, {"ciiiic", 2, {6, 5, 4, 3, 2, 1}}, {"ccicc", 2, {5, 4}},
        {"iiiii", 2, {5, 4}},     // no complete copy: the newest incomplete ones, bounded
        {"ciiii", 2, {5, 4, 1}},  // fewer complete copies than asked: none of them goes
    };
    for (const auto& c : cases) {
        test::TempDir fresh;
        const auto file = fresh / "wenjianming.mdb";
        BackupRecordStore::CreateIfMissing(file);
        BackupRecordStore s(file);
        s.checkWritable();
        const std::vector<FailedEntry> failed{{"/src/locked.pst", "Permission denied"}};
        int day = 10;
        for (const char* k = c.copies; *k; ++k) {
            const auto path = fresh / ("bak/data_201405" + std::to_string(day++));
            fs::create_directories(path);
            s.Add(pathToUtf8(path), kDay, *k == 'i' ? failed : std::vector<FailedEntry>{});
        }
        s.PruneBackups(c.keep, files, {fresh / "bak", "data"});
        Ids left;
        for (const auto& row : s.list()) {
            left.push_back(row.id);
            EXPECT_TRUE(fs::exists(pathFromUtf8(row.path))) << row.path;
            if (!row.complete()) {
                EXPECT_EQ(row.failed, failed);
            }
        }
        EXPECT_EQ(left, c.kept) << c.copies << " keep " << c.keep;
        EXPECT_FALSE(fs::exists(fresh / "bak/data_20140510") &&
                     std::find(c.kept.begin(), c.kept.end(), 1) == c.kept.end());
    }
}

// The free-space check names what pruning after the run will delete, and nothing else: here
// not the day-15 copy a later run of that day replaced (its place is kept), but the
// incomplete copy older than the kept complete ones.
TEST(Retention, TheFreeSpaceCheckNamesWhatPruningDeletes) {
    test::TempDir dir;
    test::FakeClock clock;
    test::FakeUi ui;
    test::FaultyFileOps files;
    Workspace ws{dir / "work", files, clock, ui};
    fs::create_directories(ws.dir);
    const auto source = dir / "data";
    const auto bak = dir / "bak";
    const auto copyOf = [&](int day) { return bak / ("data_201405" + std::to_string(day)); };
    BackupRecordStore::CreateIfMissing(ws.databaseFile());
    BackupRecordStore store(ws.databaseFile());
    store.checkWritable();
    // Oldest first; 15 twice (a second run of the day), 16 the newest and incomplete.
    const std::vector<FailedEntry> failed{{"/src/locked.pst", "Permission denied"}};
    for (const auto& [day, complete] : std::vector<std::pair<int, bool>>{
             {11, true}, {12, false}, {13, true}, {15, true}, {15, true}, {16, false}}) {
        fs::create_directories(copyOf(day));
        store.Add(pathToUtf8(copyOf(day)), kDay, complete ? std::vector<FailedEntry>{} : failed);
    }

    TBackupSettings settings;
    settings.SourcePath = pathToUtf8(source);
    settings.TargetFolder = pathToUtf8(bak);
    settings.KeepCount = 2;
    clock.set(test::at(2014, 5, 17, 10, 0, 0));
    const RunTarget run = resolveRun(ws, settings, clock.now()).target;
    ASSERT_EQ(run.target, copyOf(17));
    const auto records = openRecords(ws);
    CopyPlan plan(ws, *records, settings, run, true);
    std::vector<fs::path> named = plan.pruningWouldDelete();
    std::sort(named.begin(), named.end());
    EXPECT_EQ(named, (std::vector<fs::path>{copyOf(11), copyOf(12), copyOf(13)}));
    // A target short of space by less than they free: the refusal counts the same three.
    files.freeSpace = std::uint64_t{1} << 20;
    try {
        plan.prepare();
        ADD_FAILURE() << "the copy fits";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find("；删除将被清理的 3 个旧备份"), std::string::npos)
            << e.what();
    }
    files.freeSpace.reset();

    // The run records its copy, then prunes.
    fs::create_directories(copyOf(17));
    store.Add(pathToUtf8(copyOf(17)), kDay);
    EXPECT_TRUE(store.PruneBackups(settings.KeepCount, files, {bak, "data"}).empty());
    std::vector<fs::path> deleted;
    for (const int day : {11, 12, 13, 15, 16, 17}) {
        if (!fs::exists(copyOf(day))) {
            deleted.push_back(copyOf(day));
        }
    }
    EXPECT_EQ(deleted, named);
}

// Copies spread over months and years: exactly the newest, monthly, yearly and pinned ones
// stay, on disk and in the records. A copy is "yyyymmdd", then 'i' when incomplete and 'p'
// when pinned; oldest first.
TEST(Retention, KeepsMonthlyYearlyAndPinnedCopiesAsTheRulesSay) {
    const struct {
        std::vector<const char*> copies;
        RetentionPolicy policy;
        std::vector<const char*> kept;
    } cases[] = {
        // weekly copies and N = 2: nothing older than two weeks
        {{"20240103", "20240110", "20240117", "20240124"}, {2, 0, 0}, {"20240124", "20240117"}},
        // the oldest copy of each of the three most recent months, across New Year
        {{"20231101", "20231115", "20231206", "20231220", "20240103", "20240117"},
         {1, 3, 0},
         {"20240117", "20240103", "20231206", "20231101"}},
        // months that hold no copy are not counted; this month is one of them
        {{"20230905", "20230912", "20240110"}, {1, 2, 0}, {"20240110", "20230905"}},
        // an incomplete copy never stands for its month
        {{"20240102i", "20240109", "20240116"}, {1, 1, 0}, {"20240116", "20240109"}},
        // years likewise, the oldest of each
        {{"20210301", "20220301", "20220601", "20230101", "20230701"},
         {1, 0, 2},
         {"20230701", "20230101", "20220301"}},
        // a copy counted by every rule is kept once
        {{"20240105", "20240112"}, {1, 1, 1}, {"20240112", "20240105"}},
        // pinned: never pruned, not counted toward N, even where N is 1
        {{"20240101p", "20240108", "20240115", "20240122p"},
         {1, 0, 0},
         {"20240122", "20240115", "20240101"}},
    };
    test::FaultyFileOps files;
    for (const auto& c : cases) {
        test::TempDir fresh;
        const auto file = fresh / "wenjianming.mdb";
        BackupRecordStore::CreateIfMissing(file);
        BackupRecordStore s(file);
        const std::vector<FailedEntry> failed{{"/src/locked.pst", "Permission denied"}};
        for (const std::string copy : c.copies) {
            const auto path = fresh / ("bak/data_" + copy.substr(0, 8));
            fs::create_directories(path);
            const auto date = dateOfText(dateTextOfDigits(copy.substr(0, 8)));
            const auto id =
                s.Add(pathToUtf8(path), *date,
                      copy.find('i') != std::string::npos ? failed : std::vector<FailedEntry>{});
            if (copy.find('p') != std::string::npos) {
                s.setPinned(id, true);
            }
        }
        EXPECT_TRUE(s.prune(c.policy, files, {fresh / "bak", "data"}).empty());
        std::vector<std::string> left;
        for (const auto& row : s.list()) {
            left.push_back(pathToUtf8(pathFromUtf8(row.path).filename()).substr(5));
        }
        std::vector<std::string> onDisk;
        for (const auto& e : fs::directory_iterator(fresh / "bak")) {
            onDisk.push_back(pathToUtf8(e.path().filename()).substr(5));
        }
        std::sort(onDisk.rbegin(), onDisk.rend());
        const std::vector<std::string> kept(c.kept.begin(), c.kept.end());
        EXPECT_EQ(left, kept) << c.copies.front() << "… " << c.policy.newest << "/"
                              << c.policy.monthly << "/" << c.policy.yearly;
        EXPECT_EQ(onDisk, kept);
    }
}

// A pin on a copy of the day passes to the later run that replaced it, so the place stays
// kept for good; pruning drops only the older row.
TEST(Retention, APinFollowsItsPlaceWhenALaterRunReplacesTheCopy) {
    test::TempDir fresh;
    const auto file = fresh / "wenjianming.mdb";
    BackupRecordStore::CreateIfMissing(file);
    BackupRecordStore s(file);
    test::FaultyFileOps files;
    const auto place = [&](const char* day) {
        return fresh / ("bak/data_202401" + std::string(day));
    };
    for (const char* day : {"05", "12"}) {
        fs::create_directories(place(day));
    }
    s.setPinned(s.Add(pathToUtf8(place("05")), kDay), true);
    s.Add(pathToUtf8(place("05")), kDay);  // a second run of that day
    s.Add(pathToUtf8(place("12")), kDay);
    s.prune(RetentionPolicy{1}, files, {fresh / "bak", "data"});
    const auto rows = s.list();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].id, 2);
    EXPECT_TRUE(rows[1].pinned && fs::exists(place("05")));
}

TEST(Retention, TheNewestCopyHoldingFilesTheSourceStillHasIsNeverPruned) {
    test::FaultyFileOps files;
    test::TempDir dir;
    const auto file = dir / "wenjianming.mdb";
    BackupRecordStore::CreateIfMissing(file);
    BackupRecordStore s(file);
    s.checkWritable();
    fs::create_directories(dir / "data/sub");
    writeBytes(dir / "data/sub/kept.txt", "still here");
    // Oldest first: two copies holding the file, then three empty ones (rules that left it
    // out, a source emptied), then one holding only what the source no longer has.
    const char* held[] = {"sub/kept.txt", "sub/kept.txt", "", "", "", "gone.txt"};
    for (int i = 0; i < 6; ++i) {
        const auto path = dir / ("bak/data_2014051" + std::to_string(i));
        fs::create_directories(path / "sub");
        if (*held[i] != '\0') {
            writeBytes(path / held[i], "x");
        }
        s.Add(pathToUtf8(path), kDay);
    }
    const PruneScope scope{dir / "bak", "data", dir / "data"};
    const RetentionPolicy policy{2};
    const auto preview = s.selectPrune(files, policy, scope);
    ASSERT_EQ(preview.verdicts.size(), 6u);
    EXPECT_EQ(verdictText(preview.verdicts[4], policy), "保留（最后一个含有源中现有文件的备份）");
    EXPECT_EQ(verdictText(preview.verdicts[5], policy), "将删除");
    s.prune(policy, files, scope);
    Ids left;
    for (const auto& row : s.list()) {
        left.push_back(row.id);
    }
    EXPECT_EQ(left, (Ids{6, 5, 2}));
    EXPECT_TRUE(fs::exists(dir / "bak/data_20140511/sub/kept.txt"));
    // Without the source to look at, the rule keeps nothing more.
    s.prune(policy, files, {dir / "bak", "data"});
    EXPECT_EQ(s.list().size(), 2u);
}

}  // namespace
}  // namespace vantrel
