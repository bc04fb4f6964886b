#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/records/RecordDatabase.h"
#include "platform/Database.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

using Part = RecordDatabase::Part;

// Databases in use hold these statements: a change to the schema must still read them.
TEST(RecordDatabase, TheSchemaStaysAsDatabasesInUseHaveIt) {
    test::TempDir dir;
    const auto file = dir / "wenjianming.mdb";
    ASSERT_TRUE(RecordDatabase::CreateIfMissing(file));
    EXPECT_FALSE(RecordDatabase::CreateIfMissing(file));
    RecordDatabase records(file);
    EXPECT_FALSE(records.has(Part::CopyState));  // made when first written, not when read
    for (int pass = 0; pass < 2; ++pass) {
        for (const Part part : {Part::CopyState, Part::History, Part::Manifests, Part::ChangeGuard,
                                Part::CopyChecks}) {
            records.ensure(part);
        }
    }
    EXPECT_TRUE(records.has(Part::CopyState) && records.has(Part::History) &&
                records.has(Part::Manifests) && records.has(Part::ChangeGuard) &&
                records.has(Part::CopyChecks));

    std::map<std::string, std::string> schema;
    auto stmt = records.db().prepare("SELECT name, sql FROM sqlite_master");
    while (stmt.step()) {
        schema[stmt.columnText(0)] = stmt.columnText(1);
    }
    const std::map<std::string, std::string> expected{
        {"wenjianming",
         "CREATE TABLE wenjianming (id INTEGER PRIMARY KEY AUTOINCREMENT, wenjianming TEXT, "
         "shijian TEXT)"},
        {"sqlite_sequence", "CREATE TABLE sqlite_sequence(name,seq)"},
        {"vantrel_copy_state",
         "CREATE TABLE vantrel_copy_state (record_id INTEGER PRIMARY KEY, complete INTEGER NOT "
         "NULL, failed_count INTEGER NOT NULL, failed_entries TEXT NOT NULL)"},
        {"vantrel_journal",
         "CREATE TABLE vantrel_journal (id INTEGER PRIMARY KEY AUTOINCREMENT, target_text TEXT "
         "NOT NULL, target TEXT NOT NULL, staging TEXT NOT NULL, aside TEXT NOT NULL, new_device "
         "INTEGER NOT NULL, new_inode INTEGER NOT NULL, log_line TEXT NOT NULL, log_offset "
         "INTEGER NOT NULL, run_date TEXT NOT NULL, failed_entries TEXT NOT NULL)"},
        {"run_history",
         "CREATE TABLE run_history (id INTEGER PRIMARY KEY AUTOINCREMENT, started TEXT NOT NULL, "
         "ended TEXT NOT NULL, trigger TEXT NOT NULL, outcome TEXT NOT NULL, message TEXT NOT "
         "NULL DEFAULT '', files INTEGER NOT NULL DEFAULT 0, bytes INTEGER NOT NULL DEFAULT 0, "
         "target_path TEXT NOT NULL DEFAULT '', fire_instant TEXT, prune_failures INTEGER NOT "
         "NULL DEFAULT 0)"},
        {"manifest",
         "CREATE TABLE manifest (copy_id INTEGER NOT NULL, path TEXT NOT NULL, type TEXT NOT "
         "NULL, size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, hash TEXT NOT NULL, PRIMARY "
         "KEY (copy_id, path)) WITHOUT ROWID"},
        {"manifest_goes_with_row",
         "CREATE TRIGGER manifest_goes_with_row AFTER DELETE ON wenjianming BEGIN DELETE FROM "
         "manifest WHERE copy_id = OLD.id; END"},
        {"vantrel_manifest",
         "CREATE TABLE vantrel_manifest (copy_id INTEGER PRIMARY KEY, entries BLOB NOT NULL)"},
        {"vantrel_manifest_goes_with_row",
         "CREATE TRIGGER vantrel_manifest_goes_with_row AFTER DELETE ON wenjianming BEGIN "
         "DELETE FROM vantrel_manifest WHERE copy_id = OLD.id; END"},
        {"vantrel_run_changes",
         "CREATE TABLE vantrel_run_changes (run_id INTEGER PRIMARY KEY, added INTEGER NOT NULL, "
         "modified INTEGER NOT NULL, deleted INTEGER NOT NULL)"},
        {"vantrel_change_hold",
         "CREATE TABLE vantrel_change_hold (id INTEGER PRIMARY KEY AUTOINCREMENT, record_id "
         "INTEGER NOT NULL, started TEXT NOT NULL, changed INTEGER NOT NULL, files_before "
         "INTEGER NOT NULL, confirmed TEXT)"},
        {"vantrel_check_log",
         "CREATE TABLE vantrel_check_log (id INTEGER PRIMARY KEY AUTOINCREMENT, checked TEXT NOT "
         "NULL, record_id INTEGER NOT NULL, copy TEXT NOT NULL, kind TEXT NOT NULL, passed "
         "INTEGER NOT NULL, found TEXT NOT NULL DEFAULT '')"},
        {"vantrel_copy_check",
         "CREATE TABLE vantrel_copy_check (record_id INTEGER PRIMARY KEY, checked TEXT NOT NULL, "
         "intact INTEGER NOT NULL)"},
        {"vantrel_copy_check_goes_with_row",
         "CREATE TRIGGER vantrel_copy_check_goes_with_row AFTER DELETE ON wenjianming BEGIN "
         "DELETE FROM vantrel_copy_check WHERE record_id = OLD.id; END"},
        {"vantrel_damaged",
         "CREATE TABLE vantrel_damaged (device INTEGER NOT NULL, inode INTEGER NOT NULL, "
         "copy_path TEXT NOT NULL, path TEXT NOT NULL, found TEXT NOT NULL, PRIMARY KEY "
         "(device, inode))"},
        {"sqlite_autoindex_vantrel_damaged_1", ""},
        // Made with the first part written: a file is brought to the current version whole.
        {"vantrel_copy_rules",
         "CREATE TABLE vantrel_copy_rules (record_id INTEGER PRIMARY KEY, rules TEXT NOT NULL)"},
        {"vantrel_copy_rules_go_with_row",
         "CREATE TRIGGER vantrel_copy_rules_go_with_row AFTER DELETE ON wenjianming BEGIN DELETE "
         "FROM vantrel_copy_rules WHERE record_id = OLD.id; END"},
        {"vantrel_journal_rules",
         "CREATE TABLE vantrel_journal_rules (journal_id INTEGER PRIMARY KEY, rules TEXT NOT "
         "NULL)"},
        {"vantrel_journal_rules_go_with_entry",
         "CREATE TRIGGER vantrel_journal_rules_go_with_entry AFTER DELETE ON vantrel_journal "
         "BEGIN DELETE FROM vantrel_journal_rules WHERE journal_id = OLD.id; END"},
        {"vantrel_pin", "CREATE TABLE vantrel_pin (record_id INTEGER PRIMARY KEY)"},
        {"vantrel_pin_goes_with_row",
         "CREATE TRIGGER vantrel_pin_goes_with_row AFTER DELETE ON wenjianming BEGIN DELETE FROM "
         "vantrel_pin WHERE record_id = OLD.id; END"},
        {"vantrel_journal_run",
         "CREATE TABLE vantrel_journal_run (journal_id INTEGER PRIMARY KEY, manifest BLOB, "
         "started TEXT, trigger TEXT, fire_instant TEXT, files INTEGER NOT NULL DEFAULT 0, bytes "
         "INTEGER NOT NULL DEFAULT 0)"},
        {"vantrel_journal_run_goes_with_entry",
         "CREATE TRIGGER vantrel_journal_run_goes_with_entry AFTER DELETE ON vantrel_journal "
         "BEGIN DELETE FROM vantrel_journal_run WHERE journal_id = OLD.id; END"},
        {"vantrel_copy_source",
         "CREATE TABLE vantrel_copy_source (record_id INTEGER PRIMARY KEY, source TEXT NOT NULL)"},
        {"vantrel_copy_source_goes_with_row",
         "CREATE TRIGGER vantrel_copy_source_goes_with_row AFTER DELETE ON wenjianming BEGIN "
         "DELETE FROM vantrel_copy_source WHERE record_id = OLD.id; END"},
        {"vantrel_journal_source",
         "CREATE TABLE vantrel_journal_source (journal_id INTEGER PRIMARY KEY, source TEXT NOT "
         "NULL)"},
        {"vantrel_journal_source_goes_with_entry",
         "CREATE TRIGGER vantrel_journal_source_goes_with_entry AFTER DELETE ON vantrel_journal "
         "BEGIN DELETE FROM vantrel_journal_source WHERE journal_id = OLD.id; END"},
        {"vantrel_target_volume",
         "CREATE TABLE vantrel_target_volume (folder TEXT PRIMARY KEY, volume TEXT NOT NULL, "
         "serial TEXT NOT NULL, below TEXT NOT NULL)"},
        {"sqlite_autoindex_vantrel_target_volume_1", ""},
    };
    EXPECT_EQ(schema, expected);
}

// A file of a release between the first and versions (some tables made, no version) is
// brought up whole on its first write; a file of a newer version is never set back.
TEST(RecordDatabase, AnOlderFileIsMigratedOnceAndANewerOneLeftAsItIs) {
    test::TempDir dir;
    const auto older = dir / "older.mdb";
    {
        Database db(older, Database::Mode::CreateIfMissing);
        db.exec(
            "CREATE TABLE wenjianming (id INTEGER PRIMARY KEY AUTOINCREMENT, wenjianming TEXT, "
            "shijian TEXT)");
        db.exec(
            "CREATE TABLE vantrel_copy_state (record_id INTEGER PRIMARY KEY, complete INTEGER NOT "
            "NULL, failed_count INTEGER NOT NULL, failed_entries TEXT NOT NULL)");
        db.exec(
            "INSERT INTO wenjianming (wenjianming, shijian) VALUES ('a_20140512', "
            "'2014-05-12')");
    }
    RecordDatabase records(older);
    EXPECT_EQ(records.version(), 0);
    EXPECT_TRUE(records.makeMissing({Part::History}));
    EXPECT_EQ(records.version(), RecordDatabase::currentVersion());
    EXPECT_TRUE(records.has(Part::CopyState) && records.has(Part::Rules) &&
                records.has(Part::Sources) && records.has(Part::CopyChecks));
    EXPECT_FALSE(records.migrate());
    auto rows = records.db().prepare("SELECT count(*) FROM wenjianming");
    ASSERT_TRUE(rows.step());
    EXPECT_EQ(rows.columnInt(0), 1);

    const auto newer = dir / "newer.mdb";
    ASSERT_TRUE(RecordDatabase::CreateIfMissing(newer));
    RecordDatabase(newer).db().exec("PRAGMA user_version = 99");
    RecordDatabase later(newer);
    EXPECT_TRUE(later.makeMissing({Part::History}));
    EXPECT_FALSE(later.has(Part::Pins));  // no migration ran: only what was asked is made
    EXPECT_EQ(later.version(), 99);
}

// A part made only in half (a trigger lost, as statements made one at a time could leave it)
// is completed, though its tables are there.
TEST(RecordDatabase, APartMissingOnlyATriggerIsCompleted) {
    test::TempDir dir;
    const auto file = dir / "wenjianming.mdb";
    RecordDatabase::CreateIfMissing(file);
    {
        RecordDatabase records(file);
        records.ensure({Part::Manifests, Part::History});
        records.db().exec("DROP TRIGGER vantrel_manifest_goes_with_row");
        records.ensure(Part::Manifests);  // known whole on this connection: nothing looked up
    }
    RecordDatabase records(file);
    EXPECT_TRUE(records.makeMissing({Part::History, Part::Manifests}));
    EXPECT_FALSE(records.makeMissing({Part::Manifests}));
    records.db().exec("INSERT INTO wenjianming (id, wenjianming, shijian) VALUES (7, 'a', 'b')");
    records.db().exec("INSERT INTO vantrel_manifest (copy_id, entries) VALUES (7, x'00')");
    records.db().exec("DELETE FROM wenjianming WHERE id = 7");
    auto left = records.db().prepare("SELECT count(*) FROM vantrel_manifest");
    ASSERT_TRUE(left.step());
    EXPECT_EQ(left.columnInt(0), 0);  // the manifest went with its row
}

#ifndef _WIN32
// What a creation killed before its commit leaves: the file with pages written, its journal
// beside it. Copied while the transaction is open, as a kill would leave them.
TEST(RecordDatabase, ACreationKilledBeforeItsCommitIsMadeAgain) {
    test::TempDir dir, killed;
    const auto file = dir / "wenjianming.mdb";
    {
        Database db(file, Database::Mode::CreateIfMissing);
        db.exec("PRAGMA cache_size = 10");
        Transaction tx(db);
        db.exec(
            "CREATE TABLE wenjianming (id INTEGER PRIMARY KEY, wenjianming TEXT, shijian TEXT)");
        db.exec("CREATE TABLE spill (b BLOB)");
        for (int i = 0; i < 100; ++i) {
            db.exec("INSERT INTO spill VALUES (randomblob(4000))");  // more than the cache holds
        }
        for (const char* name : {"wenjianming.mdb", "wenjianming.mdb-journal"}) {
            std::filesystem::copy_file(dir / name, killed / name);
        }
    }
    const auto left = killed / "wenjianming.mdb";
    ASSERT_GT(std::filesystem::file_size(left), 0u);
    EXPECT_TRUE(RecordDatabase::CreateIfMissing(left));
    EXPECT_TRUE(RecordDatabase(left).hasTable("wenjianming"));
    EXPECT_FALSE(RecordDatabase(left).hasTable("spill"));
    EXPECT_FALSE(RecordDatabase::CreateIfMissing(left));
}
#endif

}  // namespace
}  // namespace vantrel
