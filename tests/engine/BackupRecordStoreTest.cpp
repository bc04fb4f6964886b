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
    // A copy on disk and its row.
    fs::path addCopy(const std::string& name) {
        const auto path = dir.path() / "bak" / name;
        fs::create_directories(path);
        writeBytes(path / "f.txt", name);
        store.Add(pathToUtf8(path), kDay);
        return path;
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
    test::FaultyFileOps files;
};

TEST_F(BackupRecordStoreTest, ListsNewestFirstAndNeverReusesAnId) {
    EXPECT_TRUE(created);
    EXPECT_FALSE(BackupRecordStore::CreateIfMissing(dbFile));
    store.Add("/bak/数据_20140515", kDay);
    store.Add("/bak/数据_20140516", year_month_day{year{2014}, month{5}, day{16}});
    const auto rows = store.List();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].path, "/bak/数据_20140516");
    EXPECT_EQ(rows[1].date, "2014-05-15");
    // A newest row removed by hand must not hand its id on, or an older copy would rank newest.
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
        ADD_FAILURE() << "a foreign file must not open as the record store";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find("wenjianming.mdb"), std::string::npos) << e.what();
    }
    EXPECT_EQ(readBytes(file), bytes);
}

TEST_F(BackupRecordStoreTest, PruneKeepsTheRoundedUpCountAndNeverRunsItsText) {
    std::vector<fs::path> copies;
    for (int i = 1; i <= 5; ++i) {
        copies.push_back(addCopy("data_2014051" + std::to_string(i)));
    }
    store.PruneBackups("", std::nullopt, files);
    store.PruneBackups("0.5", 0.5, files);
    store.PruneBackups("9", 9.0, files);
    EXPECT_EQ(ids().size(), 5u);
    store.PruneBackups("2.5 id from wenjianming); drop table wenjianming; --", 2.5, files);
    EXPECT_EQ(ids(), (std::vector<std::int64_t>{5, 4, 3}));
    EXPECT_FALSE(fs::exists(copies[0]) || fs::exists(copies[1]));
    EXPECT_TRUE(fs::exists(copies[2]));
}

TEST_F(BackupRecordStoreTest, PruneDeletesOnlyUnkeptCopiesThisProgramMade) {
    const auto notACopy = dir.path() / "precious";
    fs::create_directories(notACopy);
    store.Add(pathToUtf8(notACopy), kDay);
    store.Add(pathToUtf8(dir.path() / "bak" / "data_2014051"), kDay);  // seven digits
    const auto fileCopy = dir.path() / "bak" / "plan.doc_20140515";
    fs::create_directories(fileCopy.parent_path());
    writeBytes(fileCopy, "doc");
    store.Add(pathToUtf8(fileCopy), kDay);
    // Two runs on one date share a path, once spelled with a doubled separator.
    const auto shared = addCopy("data_20140516");
    store.Add(pathToUtf8(dir.path() / "bak") + "//data_20140516", kDay);

    store.PruneBackups("1", 1.0, files);
    EXPECT_EQ(ids().size(), 1u);
    EXPECT_TRUE(fs::exists(notACopy));
    EXPECT_FALSE(fs::exists(fileCopy));
    EXPECT_TRUE(fs::exists(shared / "f.txt"));
}

TEST_F(BackupRecordStoreTest, FailedDeleteStopsAndKeepsItsRow) {
    const auto first = addCopy("data_20140511");
    const auto stuck = addCopy("data_20140512");
    addCopy("data_20140513");
    addCopy("data_20140514");
    files.removeFailsAt = stuck;
    try {
        store.PruneBackups("1", 1.0, files);
        ADD_FAILURE() << "a refused delete must not pass silently";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find(pathToUtf8(stuck)), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(first));  // removed before its row; the rest stay untouched
    EXPECT_EQ(ids(), (std::vector<std::int64_t>{4, 3, 2}));
}

}  // namespace
}  // namespace vantrel
