#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace vantrel {

// An SQLite failure, with SQLite's own message.
class DatabaseError : public std::runtime_error {
public:
    DatabaseError(const std::string& message, int code)
        : std::runtime_error(message), m_code(code) {}
    int code() const { return m_code; }  // SQLite's primary result code

private:
    int m_code;
};

class Database;

// A prepared statement. Parameters are named in the SQL as ":name".
class Statement {
public:
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    void bind(std::string_view name, std::int64_t value);
    void bind(std::string_view name, std::string_view text);
    // Whether bound bytes stay in place until the statement is done with them; when they do,
    // a large BLOB is not copied once more.
    enum class Lifetime { Copied, OutlivesStatement };
    // Binds the bytes as a BLOB, stored as they are, NUL bytes too.
    void bindBlob(std::string_view name, std::string_view bytes,
                  Lifetime lifetime = Lifetime::Copied);

    // Advances to the next row; false when the statement has finished.
    bool step();
    void reset();  // ready to run again; bindings are kept

    std::int64_t columnInt(int index) const;
    std::string columnText(int index) const;
    std::string columnBlob(int index) const;  // the column's bytes; "" for NULL

private:
    friend class Database;
    Statement(sqlite3* db, sqlite3_stmt* stmt) : m_db(db), m_stmt(stmt) {}
    int parameterIndex(std::string_view name) const;

    sqlite3* m_db;
    sqlite3_stmt* m_stmt;
};

// One connection to an SQLite file.
class Database {
public:
    enum class Mode { OpenExisting, CreateIfMissing };

    // Opens the file and reads its header. Throws DatabaseError when the file cannot be
    // opened or is not an SQLite database (code SQLITE_NOTADB); nothing is written then.
    Database(const std::filesystem::path& file, Mode mode);
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database();

    void exec(std::string_view sql);
    Statement prepare(std::string_view sql);
    std::int64_t lastInsertRowId() const;
    // Reads the BLOB in `column` of row `rowid` of `table` into `into`, whose memory is reused:
    // a caller reading many large BLOBs in turn pays for fresh pages once, not for each.
    // Throws DatabaseError when there is no such row.
    void readBlob(std::string_view table, std::string_view column, std::int64_t rowid,
                  std::string& into);
    // Copies the BLOB in `column` of row `rowid` of `table` into the BLOB of the same size at
    // `toColumn` of row `toRowid` of `toTable` (made with zeroblob()), a block at a time: a
    // statement copying it would hold it whole, twice. Throws DatabaseError when either row
    // is missing or the sizes differ.
    void copyBlob(std::string_view table, std::string_view column, std::int64_t rowid,
                  std::string_view toTable, std::string_view toColumn, std::int64_t toRowid);
    // Whether the file was opened for reading only (SQLite does so, silently, when it may not
    // write it).
    bool readOnly() const;

private:
    [[noreturn]] void fail(int code) const;

    sqlite3* m_db = nullptr;
};

// Runs statements as one transaction, taking the write lock at once; rolled back unless
// committed.
class Transaction {
public:
    explicit Transaction(Database& db);
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();

    void commit();

private:
    Database& m_db;
    bool m_done = false;
};

}  // namespace vantrel
