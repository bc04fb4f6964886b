#include "platform/Database.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

TEST(Database, NamedParametersStepColumnsAndChineseFileName) {
    test::TempDir dir;
    const fs::path file = dir / "记录.mdb";
    EXPECT_THROW(Database(file, Database::Mode::OpenExisting), DatabaseError);
    EXPECT_FALSE(fs::exists(file));
    {
        Database db(file, Database::Mode::CreateIfMissing);
        db.exec("CREATE TABLE t(id INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT)");
        Statement insert = db.prepare("INSERT INTO t(path) VALUES(:path)");
        for (const char* path : {"/备份/a_20140513", "/备份/a_20140514", "/备份/a_20140515"}) {
            insert.bind(":path", path);
            EXPECT_FALSE(insert.step());
            insert.reset();
        }
        EXPECT_EQ(db.lastInsertRowId(), 3);
        EXPECT_THROW(insert.bind(":missing", std::int64_t{1}), DatabaseError);
        EXPECT_THROW(db.prepare("SELEC nonsense"), DatabaseError);
    }
    Database db(file, Database::Mode::OpenExisting);
    Statement newest = db.prepare("SELECT id, path FROM t ORDER BY id DESC LIMIT :n");
    newest.bind(":n", std::int64_t{2});
    for (int pass = 0; pass < 2; ++pass) {  // reset keeps the binding
        ASSERT_TRUE(newest.step());
        EXPECT_EQ(newest.columnInt(0), 3);
        EXPECT_EQ(newest.columnText(1), "/备份/a_20140515");
        ASSERT_TRUE(newest.step());
        EXPECT_FALSE(newest.step());
        newest.reset();
    }
}

TEST(Database, BlobsKeepEveryByteAndAnEmptyOneReadsEmpty) {
    test::TempDir dir;
    Database db(dir / "blob.mdb", Database::Mode::CreateIfMissing);
    db.exec("CREATE TABLE t(id INTEGER PRIMARY KEY, data BLOB NOT NULL)");
    Statement insert = db.prepare("INSERT INTO t(data) VALUES(:data)");
    const std::string bytes("a\0\xff\x80z", 5);
    for (const std::string_view data : {std::string_view(bytes), std::string_view()}) {
        insert.bindBlob("data", data);
        insert.step();
        insert.reset();
    }
    Statement select = db.prepare("SELECT data, typeof(data) FROM t ORDER BY id");
    ASSERT_TRUE(select.step());
    EXPECT_EQ(select.columnBlob(0), bytes);
    EXPECT_EQ(select.columnText(1), "blob");
    ASSERT_TRUE(select.step());
    EXPECT_EQ(select.columnBlob(0), "");  // NOT NULL held: stored as an empty BLOB
    EXPECT_EQ(select.columnText(1), "blob");

    // Read in place into one buffer: a large BLOB over many pages, then the small ones, each
    // whole and no longer; a row that is not there throws.
    const std::string large(300000, 'L');
    insert.bindBlob("data", large);
    insert.step();
    std::string buffer;
    const std::pair<std::int64_t, std::string_view> rows[] = {{3, large}, {1, bytes}, {2, ""}};
    for (const auto& [row, want] : rows) {
        db.readBlob("t", "data", row, buffer);
        EXPECT_EQ(buffer, want) << "row " << row;
    }
    EXPECT_THROW(db.readBlob("t", "data", 4, buffer), DatabaseError);
}

}  // namespace
}  // namespace vantrel
