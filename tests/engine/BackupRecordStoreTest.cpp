#include "engine/records/BackupRecordStore.h"

#include <gtest/gtest.h>

#include <algorithm>

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
        for (const auto& row : store.list()) {
            result.push_back(row.id);
        }
        return result;
    }

    std::vector<PruneFailure> prune(std::optional<double> value) {
        return store.PruneBackups(value, files, {dir / "bak", "data"});
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
    EXPECT_EQ(store.list()[1].date, "2014-05-15");
    EXPECT_EQ(ids(), (Ids{3, 1}));
}

TEST(BackupRecordStoreFile, ForeignFileIsRefusedAndNeverWritten) {
    test::TempDir dir;
    const auto file = dir / "wenjianming.mdb";
    std::string bytes(4096, '\x5A');  // the head of another program's database
    bytes.replace(0, 19, "\x00\x01\x00\x00Standard Jet DB", 19);
    writeBytes(file, bytes);
    EXPECT_FALSE(BackupRecordStore::CreateIfMissing(file));
    try {
        BackupRecordStore store(file);
        ADD_FAILURE() << "a foreign file must not open as the record store";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find("wenjianming.mdb"), std::string::npos) << e.what();
    }
    EXPECT_EQ(readBytes(file), bytes);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST_F(BackupRecordStoreTest, PruneKeepsTheRoundedUpCount) {
    for (int i = 1; i <= 5; ++i) {
        addCopy("data_2014051" + std::to_string(i));
    }
    prune(std::nullopt);
    prune(0.5);
    prune(9.0);
    EXPECT_EQ(ids().size(), 5u);
    prune(2.5);
    EXPECT_EQ(ids(), (Ids{5, 4, 3}));
    EXPECT_FALSE(fs::exists(dir / "bak/data_20140512"));
    EXPECT_TRUE(fs::exists(dir / "bak/data_20140513"));
}

TEST_F(BackupRecordStoreTest, PruneDeletesOnDiskOnlyThisJobsCopiesInTheTargetFolder) {
    fs::create_directories(dir / "precious");
    store.Add(pathToUtf8(dir / "precious"), kDay);
    const auto sevenDigits = addCopy("data_2014051");
    const auto otherName = addCopy("other_20140512");  // a copy of another source
    const auto elsewhere = dir / "old-target" / "data_20140513";
    fs::create_directories(elsewhere);
    store.Add(pathToUtf8(elsewhere), kDay);
    const auto mine = addCopy("data_20140514");
    // Two runs on one date share a path, once spelled with a doubled separator.
    const auto shared = addCopy("data_20140516");
    store.Add(pathToUtf8(dir / "bak") + "//data_20140516", kDay);

    EXPECT_TRUE(prune(1.0).empty());
    // Rows for copies out of scope stay, so those copies remain listed and restorable.
    EXPECT_EQ(ids(), (Ids{7, 4, 3, 2, 1}));
    EXPECT_TRUE(fs::exists(dir / "precious") && fs::exists(sevenDigits) && fs::exists(otherName) &&
                fs::exists(elsewhere));
    EXPECT_FALSE(fs::exists(mine));
    EXPECT_TRUE(fs::exists(shared / "f.txt"));
}

TEST_F(BackupRecordStoreTest, FailedDeleteKeepsItsRowAndPruningGoesOn) {
    for (const char* name : {"data_20140511", "data_20140512", "data_20140513", "data_20140514"}) {
        addCopy(name);
    }
    files.removeFailsAt = dir / "bak" / "data_20140512";
    const auto failures = prune(1.0);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].path, pathToUtf8(dir / "bak" / "data_20140512"));
    EXPECT_FALSE(failures[0].reason.empty());
    EXPECT_FALSE(fs::exists(dir / "bak/data_20140511") || fs::exists(dir / "bak/data_20140513"));
    EXPECT_EQ(ids(), (Ids{4, 2}));
    // A later prune retries it.
    files.removeFailsAt.clear();
    EXPECT_TRUE(prune(1.0).empty());
    EXPECT_EQ(ids(), (Ids{4}));
}

}  // namespace
}  // namespace vantrel
