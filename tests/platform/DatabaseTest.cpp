#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "platform/Database.h"
#include "platform/TextCodec.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

class DatabaseTest : public ::testing::Test {
protected:
    test::TempDir m_dir;
    const fs::path m_file = m_dir / "wenjianming.mdb";
};

TEST_F(DatabaseTest, NamedParametersBindTextAndIntegers) {
    Database db(m_file, Database::Mode::CreateIfMissing);
    db.exec("CREATE TABLE t(id INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT)");
    Statement insert = db.prepare("INSERT INTO t(path) VALUES(:path)");
    for (const char* path : {"/备份/a_20140513", "/备份/a_20140514", "/备份/a_20140515"}) {
        insert.bind(":path", path);
        EXPECT_FALSE(insert.step());
        insert.reset();
    }
    EXPECT_EQ(db.lastInsertRowId(), 3);

    Statement newest = db.prepare("SELECT id, path FROM t ORDER BY id DESC LIMIT :n");
    newest.bind("n", std::int64_t{2});  // the colon is optional
    ASSERT_TRUE(newest.step());
    EXPECT_EQ(newest.columnInt(0), 3);
    EXPECT_EQ(newest.columnText(1), "/备份/a_20140515");
    ASSERT_TRUE(newest.step());
    EXPECT_EQ(newest.columnText(1), "/备份/a_20140514");
    EXPECT_FALSE(newest.step());

    // reset keeps the binding; the statement runs again with the same limit.
    newest.reset();
    int rows = 0;
    while (newest.step()) {
        ++rows;
    }
    EXPECT_EQ(rows, 2);
}

TEST_F(DatabaseTest, MisuseIsReportedWithSqliteText) {
    Database db(m_file, Database::Mode::CreateIfMissing);
    db.exec("CREATE TABLE t(n INTEGER)");
    Statement s = db.prepare("SELECT n FROM t WHERE n = :n");
    try {
        s.bind(":missing", std::int64_t{1});
        FAIL() << "unknown parameter accepted";
    } catch (const DatabaseError& e) {
        EXPECT_EQ(e.code(), SQLITE_RANGE);
        EXPECT_NE(std::string(e.what()).find(":missing"), std::string::npos);
    }
    try {
        db.prepare("SELEC nonsense");
        FAIL() << "bad SQL accepted";
    } catch (const DatabaseError& e) {
        EXPECT_EQ(e.code(), SQLITE_ERROR);
        EXPECT_NE(std::string(e.what()).find("syntax error"), std::string::npos);
    }
    EXPECT_THROW(db.exec("INSERT INTO nowhere VALUES(1)"), DatabaseError);
}

TEST_F(DatabaseTest, FileOfAnotherProgramIsRefusedAndLeftUnchanged) {
    // A Jet-style file of the same name: not SQLite, and must not be touched.
    std::string bytes(4096, '\0');
    bytes.replace(0, 19, "\x00\x01\x00\x00Standard Jet DB", 19);
    for (size_t i = 64; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7);
    }
    test::writeBytes(m_file, bytes);
    const auto mtime = fs::last_write_time(m_file);

    for (auto mode : {Database::Mode::OpenExisting, Database::Mode::CreateIfMissing}) {
        try {
            Database db(m_file, mode);
            FAIL() << "a foreign file opened as a database";
        } catch (const DatabaseError& e) {
            EXPECT_EQ(e.code(), SQLITE_NOTADB);
            EXPECT_NE(std::string(e.what()).find("wenjianming.mdb"), std::string::npos);
        }
    }
    EXPECT_EQ(test::readBytes(m_file), bytes);
    EXPECT_EQ(fs::last_write_time(m_file), mtime);
    EXPECT_FALSE(fs::exists(m_dir / "wenjianming.mdb-journal"));
    EXPECT_FALSE(fs::exists(m_dir / "wenjianming.mdb-wal"));
}

TEST_F(DatabaseTest, OpenExistingNeverCreatesTheFile) {
    EXPECT_THROW(Database(m_file, Database::Mode::OpenExisting), DatabaseError);
    EXPECT_FALSE(fs::exists(m_file));

    { Database created(m_file, Database::Mode::CreateIfMissing); }
    EXPECT_TRUE(fs::exists(m_file));
    EXPECT_NO_THROW(Database(m_file, Database::Mode::OpenExisting));
}

TEST_F(DatabaseTest, FileNameWithChineseCharacters) {
    const fs::path file = m_dir / "记录.mdb";
    {
        Database db(file, Database::Mode::CreateIfMissing);
        db.exec("CREATE TABLE t(n INTEGER)");
    }
    EXPECT_TRUE(fs::exists(file));
    Database again(file, Database::Mode::OpenExisting);
    Statement s = again.prepare("SELECT count(*) FROM t");
    ASSERT_TRUE(s.step());
    EXPECT_EQ(s.columnInt(0), 0);
}

}  // namespace
}  // namespace vantrel
