#include "platform/Database.h"

#include <sqlite3.h>

#include <algorithm>
#include <utility>

#include "platform/TextCodec.h"

namespace vantrel {

namespace {

// How long a statement waits for another connection (a window and the command line may
// share one file) before it fails with SQLITE_BUSY.
constexpr int kBusyTimeoutMs = 5000;

[[noreturn]] void throwError(sqlite3* db, int code, const std::string& prefix = {}) {
    std::string message = prefix;
    message += db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    throw DatabaseError(message, code & 0xFF);
}

}  // namespace

Statement::Statement(Statement&& other) noexcept
    : m_db(other.m_db), m_stmt(std::exchange(other.m_stmt, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(m_stmt);
        m_db = other.m_db;
        m_stmt = std::exchange(other.m_stmt, nullptr);
    }
    return *this;
}

Statement::~Statement() {
    sqlite3_finalize(m_stmt);
}

int Statement::parameterIndex(std::string_view name) const {
    // Accepts the name with or without its leading ':'.
    std::string key;
    if (name.empty() || (name.front() != ':' && name.front() != '@' && name.front() != '$')) {
        key = ":";
    }
    key += name;
    const int index = sqlite3_bind_parameter_index(m_stmt, key.c_str());
    if (index == 0) {
        throw DatabaseError("SQL 语句中没有参数 " + key, SQLITE_RANGE);
    }
    return index;
}

void Statement::bind(std::string_view name, std::int64_t value) {
    const int rc = sqlite3_bind_int64(m_stmt, parameterIndex(name), value);
    if (rc != SQLITE_OK) {
        throwError(m_db, rc);
    }
}

void Statement::bind(std::string_view name, std::string_view text) {
    const int rc = sqlite3_bind_text64(m_stmt, parameterIndex(name), text.data(), text.size(),
                                       SQLITE_TRANSIENT, SQLITE_UTF8);
    if (rc != SQLITE_OK) {
        throwError(m_db, rc);
    }
}

void Statement::bindBlob(std::string_view name, std::string_view bytes, Lifetime lifetime) {
    // SQLite binds NULL for a null pointer, whatever the length: empty bytes stay a BLOB.
    const char* data = bytes.data() != nullptr ? bytes.data() : "";
    const int rc = sqlite3_bind_blob64(
        m_stmt, parameterIndex(name), data, bytes.size(),
        lifetime == Lifetime::OutlivesStatement ? SQLITE_STATIC : SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) {
        throwError(m_db, rc);
    }
}

bool Statement::step() {
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    throwError(m_db, rc);
}

void Statement::reset() {
    // sqlite3_reset repeats the last step's error, which step() has already reported.
    sqlite3_reset(m_stmt);
}

std::int64_t Statement::columnInt(int index) const {
    if (index < 0 || index >= sqlite3_column_count(m_stmt)) {
        throw DatabaseError("结果中没有第 " + std::to_string(index) + " 列", SQLITE_RANGE);
    }
    return sqlite3_column_int64(m_stmt, index);
}

std::string Statement::columnText(int index) const {
    if (index < 0 || index >= sqlite3_column_count(m_stmt)) {
        throw DatabaseError("结果中没有第 " + std::to_string(index) + " 列", SQLITE_RANGE);
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, index));
    if (!text) {
        return {};
    }
    return std::string(text, static_cast<size_t>(sqlite3_column_bytes(m_stmt, index)));
}

std::string Statement::columnBlob(int index) const {
    if (index < 0 || index >= sqlite3_column_count(m_stmt)) {
        throw DatabaseError("结果中没有第 " + std::to_string(index) + " 列", SQLITE_RANGE);
    }
    // A zero-length BLOB comes back as a null pointer.
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(m_stmt, index));
    if (!bytes) {
        return {};
    }
    return std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(m_stmt, index)));
}

Database::Database(const std::filesystem::path& file, Mode mode) {
    int flags = SQLITE_OPEN_READWRITE;
    if (mode == Mode::CreateIfMissing) {
        flags |= SQLITE_OPEN_CREATE;
    }
    const std::string name = pathToUtf8(file);
    const std::string prefix = name + ": ";
    const int rc = sqlite3_open_v2(name.c_str(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        // A failed open still allocates a handle that carries the message.
        const std::string message = prefix + (m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc));
        sqlite3_close(m_db);
        m_db = nullptr;
        throw DatabaseError(message, rc & 0xFF);
    }
    sqlite3_extended_result_codes(m_db, 0);
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);

    // Reading the header makes a file that is not a database fail now, before any write.
    sqlite3_stmt* stmt = nullptr;
    int check = sqlite3_prepare_v2(m_db, "PRAGMA schema_version", -1, &stmt, nullptr);
    if (check == SQLITE_OK) {
        check = sqlite3_step(stmt);
        if (check == SQLITE_ROW || check == SQLITE_DONE) {
            check = SQLITE_OK;
        }
    }
    sqlite3_finalize(stmt);
    if (check != SQLITE_OK) {
        const std::string message = prefix + sqlite3_errmsg(m_db);
        sqlite3_close(m_db);
        m_db = nullptr;
        throw DatabaseError(message, check & 0xFF);
    }
}

Database::~Database() {
    sqlite3_close(m_db);
}

void Database::exec(std::string_view sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(m_db, std::string(sql).c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        throw DatabaseError(message, rc & 0xFF);
    }
}

Statement Database::prepare(std::string_view sql) {
    sqlite3_stmt* stmt = nullptr;
    const int rc =
        sqlite3_prepare_v2(m_db, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        fail(rc);
    }
    return Statement(m_db, stmt);
}

std::int64_t Database::lastInsertRowId() const {
    return sqlite3_last_insert_rowid(m_db);
}

void Database::readBlob(std::string_view table, std::string_view column, std::int64_t rowid,
                        std::string& into) {
    sqlite3_blob* blob = nullptr;
    int rc = sqlite3_blob_open(m_db, "main", std::string(table).c_str(),
                               std::string(column).c_str(), rowid, 0, &blob);
    if (rc == SQLITE_OK) {
        into.resize(static_cast<std::size_t>(sqlite3_blob_bytes(blob)));
        rc = sqlite3_blob_read(blob, into.data(), static_cast<int>(into.size()), 0);
    }
    if (rc != SQLITE_OK) {
        const std::string message = sqlite3_errmsg(m_db);
        sqlite3_blob_close(blob);
        throw DatabaseError(message, rc & 0xFF);
    }
    sqlite3_blob_close(blob);
}

void Database::copyBlob(std::string_view table, std::string_view column, std::int64_t rowid,
                        std::string_view toTable, std::string_view toColumn, std::int64_t toRowid) {
    sqlite3_blob* from = nullptr;
    sqlite3_blob* to = nullptr;
    int rc = sqlite3_blob_open(m_db, "main", std::string(table).c_str(),
                               std::string(column).c_str(), rowid, 0, &from);
    if (rc == SQLITE_OK) {
        rc = sqlite3_blob_open(m_db, "main", std::string(toTable).c_str(),
                               std::string(toColumn).c_str(), toRowid, 1, &to);
    }
    if (rc == SQLITE_OK && sqlite3_blob_bytes(from) != sqlite3_blob_bytes(to)) {
        rc = SQLITE_MISMATCH;
    }
    const int size = rc == SQLITE_OK ? sqlite3_blob_bytes(from) : 0;
    std::string block(std::min(size, 1 << 20), '\0');
    for (int at = 0; rc == SQLITE_OK && at < size; at += static_cast<int>(block.size())) {
        const int n = std::min(size - at, static_cast<int>(block.size()));
        rc = sqlite3_blob_read(from, block.data(), n, at);
        if (rc == SQLITE_OK) {
            rc = sqlite3_blob_write(to, block.data(), n, at);
        }
    }
    const std::string message = rc == SQLITE_OK ? std::string() : sqlite3_errmsg(m_db);
    sqlite3_blob_close(from);
    sqlite3_blob_close(to);
    if (rc != SQLITE_OK) {
        throw DatabaseError(message, rc & 0xFF);
    }
}

void Database::fail(int code) const {
    throwError(m_db, code);
}

bool Database::readOnly() const {
    return sqlite3_db_readonly(m_db, "main") == 1;
}

Transaction::Transaction(Database& db) : m_db(db) {
    m_db.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (!m_done) {
        try {
            m_db.exec("ROLLBACK");
        } catch (const DatabaseError&) {
            // The transaction is gone already; nothing to undo.
        }
    }
}

void Transaction::commit() {
    m_db.exec("COMMIT");
    m_done = true;
}

}  // namespace vantrel
