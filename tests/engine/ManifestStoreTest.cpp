#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/BackupError.h"
#include "engine/manifest/ManifestCheck.h"
#include "engine/manifest/ManifestCodec.h"
#include "engine/manifest/ManifestStore.h"
#include "engine/records/BackupRecordStore.h"
#include "platform/Database.h"
#include "tests/support/FaultyFileOps.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using test::writeBytes;

class ManifestStoreTest : public ::testing::Test {
protected:
    ManifestStoreTest() {
        fs::create_directories(copy / "sub");
        writeBytes(copy / "a.txt", "alpha");
        writeBytes(copy / "sub" / "b.txt", "beta");
        fs::create_symlink("a.txt", copy / "link");
    }
    // A record database with rows for two copies, 1 and 2.
    fs::path twoRows() {
        BackupRecordStore::CreateIfMissing(db);
        BackupRecordStore store(db);
        store.Add("/bak/a_20140515", std::chrono::year_month_day{});
        store.Add("/bak/a_20140516", std::chrono::year_month_day{});
        return db;
    }
    std::int64_t count(std::string_view sql) {
        Database raw(db, Database::Mode::OpenExisting);
        auto stmt = raw.prepare(sql);
        return stmt.step() ? stmt.columnInt(0) : -1;
    }
    std::string blobOf(std::int64_t id) {
        Database raw(db, Database::Mode::OpenExisting);
        auto stmt = raw.prepare("SELECT entries FROM vantrel_manifest WHERE copy_id = :id");
        stmt.bind("id", id);
        return stmt.step() ? stmt.columnBlob(0) : "(none)";
    }
    void storeBlob(std::int64_t id, std::string_view blob) {
        Database raw(db, Database::Mode::OpenExisting);
        auto stmt = raw.prepare(
            "INSERT OR REPLACE INTO vantrel_manifest (copy_id, entries) VALUES (:id, :blob)");
        stmt.bind("id", id);
        stmt.bindBlob("blob", blob);
        stmt.step();
    }

    test::TempDir dir;
    test::FaultyFileOps files;
    fs::path copy = dir / "copy";
    fs::path db = dir / "wenjianming.mdb";
};

TEST_F(ManifestStoreTest, StoreKeepsOneManifestPerRowAndDropsItWithTheRow) {
    BackupRecordStore store(twoRows());
    ManifestStore manifests(db);
    const auto first = manifests.rowOf("/bak/a_20140515").value();
    const auto second = manifests.rowOf("/bak/a_20140516").value();
    EXPECT_FALSE(manifests.rowOf("/bak/other"));
    const Manifest m = manifestOfTree(files, copy);
    manifests.save(first, m);
    manifests.save(first, m);  // saved again: replaced, not doubled
    manifests.save(second, m);
    EXPECT_EQ(manifests.load(first).value(), m);

    store.PruneBackups(1.0, files, {"/bak", "a"});
    EXPECT_FALSE(manifests.load(first));
    EXPECT_EQ(manifests.load(second).value(), m);
    EXPECT_EQ(count("SELECT count(*) FROM vantrel_manifest"), 1);
}

TEST_F(ManifestStoreTest, StoreKeepsEveryFieldExactlyAndSortsWhatItIsGiven) {
    ManifestStore manifests(twoRows());
    const Manifest m = {
        {"", 'd', 0, -1, "", {}, {}},  // the top, a time before 1970
        {"a", 'f', UINT64_MAX, INT64_MIN, "0123456789abcdef0123456789abcdef", {}, {}},
        {"a/b", 'l', 0, INT64_MAX, "../目标 b", SourceFacts{0, -3, INT64_MAX, 07777, UINT32_MAX, 0},
         EntryAttributes{0777, 0, 65534}},
        {"a/bc", 'f', std::uint64_t{1} << 40, 1'400'000'000'123'456'789, "", {}, {}},  // unhashed
        {"a/bc/d", 's', 0, 0, "", {}, {}},
        {"a/bc/e", 'f', 3, 7, "ABCDEF", {}, {}},  // not lowercase hex: kept as text
        {"a/bc/f", 'f', 3, 7, "abc", {}, {}},
        {"数据", 'd', 0, 999'999'999, "", {}, {}},
        {"数据/文件.txt", 'f', 127, 128, "ffffffffffffffffffffffffffffffff", {}, {}},
    };
    manifests.save(1, m);
    EXPECT_EQ(manifests.load(1).value(), m);
    manifests.save(2, Manifest(m.rbegin(), m.rend()));
    EXPECT_EQ(manifests.load(2).value(), m);
    manifests.save(2, {});  // saved, if empty: not "made without one"
    EXPECT_EQ(manifests.load(2).value(), Manifest{});
}

TEST_F(ManifestStoreTest, ManifestsInTheOldTableStillLoadUntilSavedAgain) {
    ManifestStore manifests(twoRows());
    // As an earlier version wrote them: one row per entry, in no particular order.
    Database(db, Database::Mode::OpenExisting)
        .exec(
            "INSERT INTO manifest (copy_id, path, type, size, mtime_ns, hash) VALUES "
            "(1, '子/a.txt', 'f', 5, -5, '0123456789abcdef0123456789abcdef'), "
            "(1, '', 'd', 0, -5, '')");
    const Manifest old = {{"", 'd', 0, -5, "", {}, {}},
                          {"子/a.txt", 'f', 5, -5, "0123456789abcdef0123456789abcdef", {}, {}}};
    EXPECT_EQ(manifests.load(1).value(), old);
    EXPECT_FALSE(manifests.load(2));

    const Manifest now = manifestOfTree(files, copy);
    manifests.save(1, now);
    EXPECT_EQ(count("SELECT count(*) FROM manifest"), 0);
    EXPECT_EQ(manifests.load(1).value(), now);
}

TEST_F(ManifestStoreTest, KeepsTheCodecsBytesAndReportsDamageWithTheRow) {
    ManifestStore manifests(twoRows());
    const Manifest m = {{"", 'd', 0, 1, "", {}, {}},
                        {"a.txt", 'f', 300, -70'000, "0123456789abcdef", {}, {}}};
    manifests.save(1, m);
    EXPECT_EQ(blobOf(1), encodeManifest(m));
    storeBlob(1, blobOf(1).substr(0, 10));
    try {
        manifests.load(1);
        ADD_FAILURE() << "a damaged manifest was loaded";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string_view(e.what()).find("中的备份清单已损坏（备份记录 1）"),
                  std::string_view::npos)
            << e.what();
    }
}

}  // namespace
}  // namespace vantrel
