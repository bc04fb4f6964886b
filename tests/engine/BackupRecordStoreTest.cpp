#include "engine/BackupRecordStore.h"

#include <gtest/gtest.h>

#include "engine/BackupError.h"
#include "platform/TextCodec.h"
#include "tests/support/FaultyFileOps.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using test::readBytes;
using test::writeBytes;

constexpr year_month_day kDay{year{2014}, month{5}, day{15}};

class BackupRecordStoreTest : public ::testing::Test {
protected:
    // A copy on disk and its row; returns its path text.
    std::string addCopy(const std::string& name) {
        const auto path = dir.path() / "bak" / name;
        fs::create_directories(path);
        writeBytes(path / "f.txt", name);
        store.Add(pathToUtf8(path), kDay);
        return pathToUtf8(path);
    }

    std::vector<std::int64_t> ids() {
        std::vector<std::int64_t> result;
        for (const auto& row : store.List()) {
            result.push_back(row.id);
        }
        return result;
    }

    test::TempDir dir;
    fs::path dbFile = dir.path() / "wenjianming.mdb";
    bool created = BackupRecordStore::CreateIfMissing(dbFile);
    BackupRecordStore store{dbFile};
    RealFileOps files;
};

TEST_F(BackupRecordStoreTest, AddRecordsPathAndDateNewestFirst) {
    EXPECT_TRUE(created);
    EXPECT_FALSE(BackupRecordStore::CreateIfMissing(dbFile));
    store.Add("/bak/数据_20140515", kDay);
    store.Add("/bak/数据_20140516", year_month_day{year{2014}, month{5}, day{16}});
    const auto rows = store.List();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].path, "/bak/数据_20140516");
    EXPECT_EQ(rows[1].date, "2014-05-15");
    EXPECT_GT(rows[0].id, rows[1].id);
}

TEST_F(BackupRecordStoreTest, IdsAreNeverReused) {
    // A newest row removed by hand must not hand its id to the next copy, or an older
    // copy could rank as the newest.
    store.Add("/bak/data_20140515", kDay);
    store.Add("/bak/data_20140516", kDay);
    Database(dbFile, Database::Mode::OpenExisting).exec("DELETE FROM wenjianming WHERE id = 2");
    store.Add("/bak/data_20140517", kDay);
    EXPECT_EQ(ids(), (std::vector<std::int64_t>{3, 1}));
}

TEST(BackupRecordStoreFile, ForeignFileIsRefusedAndNeverWritten) {
    test::TempDir dir;
    const auto file = dir.path() / "wenjianming.mdb";
    const std::string bytes = "Standard Jet DB, not ours, left by another program";
    writeBytes(file, bytes);
    EXPECT_FALSE(BackupRecordStore::CreateIfMissing(file));
    try {
        BackupRecordStore store(file);
        FAIL() << "a foreign file must not open as the record store";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find("wenjianming.mdb"), std::string::npos) << e.what();
    }
    EXPECT_EQ(readBytes(file), bytes);
}

TEST_F(BackupRecordStoreTest, PruneKeepsNewestAndDeletesOlderCopies) {
    std::vector<std::string> paths;
    for (int i = 1; i <= 5; ++i) {
        paths.push_back(addCopy("data_2014051" + std::to_string(i)));
    }
    store.PruneBackups("3", 3.0, files);
    EXPECT_EQ(ids(), (std::vector<std::int64_t>{5, 4, 3}));
    EXPECT_FALSE(fs::exists(pathFromUtf8(paths[0])));
    EXPECT_FALSE(fs::exists(pathFromUtf8(paths[1])));
    EXPECT_TRUE(fs::exists(pathFromUtf8(paths[2])));

    // Fewer rows than the count: nothing happens.
    store.PruneBackups("5", 5.0, files);
    EXPECT_EQ(ids().size(), 3u);
}

TEST_F(BackupRecordStoreTest, KeepCountIsANumberNeverSqlText) {
    for (int i = 1; i <= 5; ++i) {
        addCopy("data_2014051" + std::to_string(i));
    }
    // No value, or below one, deletes nothing.
    store.PruneBackups("", std::nullopt, files);
    store.PruneBackups("0.5", 0.5, files);
    EXPECT_EQ(ids().size(), 5u);
    // 2.5 keeps three; the text, whatever it holds, never reaches the database.
    store.PruneBackups("2.5 id from wenjianming); drop table wenjianming; --", 2.5, files);
    EXPECT_EQ(ids(), (std::vector<std::int64_t>{5, 4, 3}));
}

TEST_F(BackupRecordStoreTest, PruneSparesAPathAKeptRowNames) {
    // Two runs on one date share a path; the target folder was once written with a
    // trailing separator, so the spellings differ.
    const auto shared = addCopy("data_20140515");
    store.Add(pathToUtf8(dir.path() / "bak") + "//data_20140515", kDay);
    store.PruneBackups("1", 1.0, files);
    EXPECT_EQ(ids().size(), 1u);
    EXPECT_TRUE(fs::exists(pathFromUtf8(shared) / "f.txt"));
}

TEST_F(BackupRecordStoreTest, PruneDeletesOnlyWhatLooksLikeACopy) {
    const auto notACopy = dir.path() / "precious";
    fs::create_directories(notACopy);
    store.Add(pathToUtf8(notACopy), kDay);
    store.Add(pathToUtf8(dir.path() / "bak" / "data_2014051"), kDay);  // seven digits
    // A copy of a single file is removed like a folder.
    const auto fileCopy = dir.path() / "bak" / "plan.doc_20140515";
    fs::create_directories(fileCopy.parent_path());
    writeBytes(fileCopy, "doc");
    store.Add(pathToUtf8(fileCopy), kDay);
    addCopy("data_20140516");

    store.PruneBackups("1", 1.0, files);
    EXPECT_EQ(ids().size(), 1u);
    EXPECT_TRUE(fs::exists(notACopy));
    EXPECT_FALSE(fs::exists(fileCopy));
}

TEST_F(BackupRecordStoreTest, FailedDeleteStopsAndKeepsItsRow) {
    const auto first = addCopy("data_20140511");
    const auto stuck = addCopy("data_20140512");
    const auto third = addCopy("data_20140513");
    addCopy("data_20140514");
    test::FaultyFileOps faulty;
    faulty.removeFails = [&](const fs::path& p) { return pathToUtf8(p) == stuck; };

    try {
        store.PruneBackups("1", 1.0, faulty);
        FAIL() << "a refused delete must not pass silently";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find(stuck), std::string::npos) << e.what();
    }
    // The first copy and its row are gone; the stuck one and every later one keep their rows.
    EXPECT_FALSE(fs::exists(pathFromUtf8(first)));
    EXPECT_EQ(ids(), (std::vector<std::int64_t>{4, 3, 2}));
    EXPECT_TRUE(fs::exists(pathFromUtf8(third)));
}

}  // namespace
}  // namespace vantrel
