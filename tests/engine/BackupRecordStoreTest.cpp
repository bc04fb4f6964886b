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
using Ids = std::vector<std::int64_t>;

constexpr year_month_day kDay{year{2014}, month{5}, day{15}};

class BackupRecordStoreTest : public ::testing::Test {
protected:
    // A copy on disk and its row.
    fs::path addCopy(const std::string& name) {
        const auto path = dir / "bak" / name;
        fs::create_directories(path);
        writeBytes(path / "f.txt", name);
        store.Add(pathToUtf8(path), kDay);
        return path;
    }
    Ids ids() {
        Ids result;
        for (const auto& row : store.List()) {
            result.push_back(row.id);
        }
        return result;
    }

    test::TempDir dir;
    fs::path dbFile = dir / "wenjianming.mdb";
    bool created = BackupRecordStore::CreateIfMissing(dbFile);
    BackupRecordStore store{dbFile};
    test::FaultyFileOps files;
};

TEST_F(BackupRecordStoreTest, ListsNewestFirstAndNeverReusesAnId) {
    EXPECT_TRUE(created);
    EXPECT_FALSE(BackupRecordStore::CreateIfMissing(dbFile));
    store.Add("/bak/a_20140515", kDay);
    store.Add("/bak/数据_20140516", kDay);
    // A newest row removed by hand must not hand its id on, or an older copy would rank newest.
    Database(dbFile, Database::Mode::OpenExisting).exec("DELETE FROM wenjianming WHERE id = 2");
    store.Add("/bak/数据_20140517", kDay);
    EXPECT_EQ(store.List()[1].date, "2014-05-15");
    EXPECT_EQ(ids(), (Ids{3, 1}));
}

TEST(BackupRecordStoreFile, ForeignFileIsRefusedAndNeverWritten) {
    test::TempDir dir;
    const auto file = dir / "wenjianming.mdb";
    writeBytes(file, "Standard Jet DB, not ours, left by another program");
    EXPECT_FALSE(BackupRecordStore::CreateIfMissing(file));
    try {
        BackupRecordStore store(file);
        ADD_FAILURE() << "a foreign file must not open as the record store";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find("wenjianming.mdb"), std::string::npos) << e.what();
    }
    EXPECT_EQ(readBytes(file), "Standard Jet DB, not ours, left by another program");
}

TEST_F(BackupRecordStoreTest, PruneKeepsTheRoundedUpCountAndNeverRunsItsText) {
    for (int i = 1; i <= 5; ++i) {
        addCopy("data_2014051" + std::to_string(i));
    }
    store.PruneBackups("", std::nullopt, files);
    store.PruneBackups("0.5", 0.5, files);
    store.PruneBackups("9", 9.0, files);
    EXPECT_EQ(ids().size(), 5u);
    store.PruneBackups("2.5 id from wenjianming); drop table wenjianming; --", 2.5, files);
    EXPECT_EQ(ids(), (Ids{5, 4, 3}));
    EXPECT_FALSE(fs::exists(dir / "bak/data_20140512"));
    EXPECT_TRUE(fs::exists(dir / "bak/data_20140513"));
}

TEST_F(BackupRecordStoreTest, PruneDeletesOnlyUnkeptCopiesThisProgramMade) {
    fs::create_directories(dir / "precious");
    store.Add(pathToUtf8(dir / "precious"), kDay);
    const auto sevenDigits = addCopy("data_2014051");
    const auto fileCopy = dir / "bak" / "plan.doc_20140515";
    writeBytes(fileCopy, "doc");
    store.Add(pathToUtf8(fileCopy), kDay);
    // Two runs on one date share a path, once spelled with a doubled separator.
    const auto shared = addCopy("data_20140516");
    store.Add(pathToUtf8(dir / "bak") + "//data_20140516", kDay);

    store.PruneBackups("1", 1.0, files);
    EXPECT_EQ(ids().size(), 1u);
    EXPECT_TRUE(fs::exists(dir / "precious") && fs::exists(sevenDigits));
    EXPECT_FALSE(fs::exists(fileCopy));
    EXPECT_TRUE(fs::exists(shared / "f.txt"));
}

TEST_F(BackupRecordStoreTest, FailedDeleteStopsAndKeepsItsRow) {
    for (const char* name : {"data_20140511", "data_20140512", "data_20140513", "data_20140514"}) {
        addCopy(name);
    }
    files.removeFailsAt = dir / "bak" / "data_20140512";
    try {
        store.PruneBackups("1", 1.0, files);
        ADD_FAILURE() << "a refused delete must not pass silently";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find("data_20140512"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(dir / "bak/data_20140511"));  // removed before its row
    EXPECT_EQ(ids(), (Ids{4, 3, 2}));
}

}  // namespace
}  // namespace vantrel
