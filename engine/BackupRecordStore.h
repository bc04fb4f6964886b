#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Database.h"
#include "platform/FileOps.h"

namespace vantrel {

struct BackupRecord {
    std::int64_t id = 0;
    std::string path;  // TargetPath of the copy (UTF-8)
    std::string date;  // the run's date as "yyyy-mm-dd"
};

// The rows of copies made, in table `wenjianming` of the SQLite file "wenjianming.mdb",
// and the pruning of old copies down to the newest N.
class BackupRecordStore {
public:
    // Creates the database with its table when no file of that name exists. Returns true
    // when it created one. Throws BackupError naming the file when it cannot.
    static bool CreateIfMissing(const std::filesystem::path& dbFile);

    // Opens an existing database. Throws BackupError naming the file when it is missing or
    // is not an SQLite database; such a file is never written.
    explicit BackupRecordStore(const std::filesystem::path& dbFile);

    void Add(std::string_view targetPath, std::chrono::year_month_day date);

    // Keeps the newest ceil(keepValue) rows by id and deletes the older copies from disk,
    // then their rows. Does nothing when keepValue is absent or below 1. Deletes on disk only
    // paths shaped like a copy ("..._yyyymmdd") and never a path a kept row still names.
    void PruneBackups(std::string_view keepText, std::optional<double> keepValue, FileOps& files);

    // Every row, newest first.
    std::vector<BackupRecord> List();

private:
    std::filesystem::path m_file;
    Database m_db;
};

}  // namespace vantrel
