#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace mornix {

namespace devservice {

// Failure of an SQLite call; carries SQLite's message.
class DatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Database;

// One prepared statement. Bind parameters are 1-based; columns 0-based.
class Statement {
public:
    Statement(Database &db, const char *sql);
    ~Statement();
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, const std::string &value);
    Statement &bind(int index, std::int64_t value);
    Statement &bind(int index, int value) { return bind(index, static_cast<std::int64_t>(value)); }
    Statement &bindNull(int index);
    Statement &bind(int index, const std::optional<std::string> &value);

    // Advances to the next row; false when done.
    bool step();
    // Runs a statement that returns no rows.
    void run();

    std::string text(int column) const;
    std::optional<std::string> optionalText(int column) const;
    std::int64_t integer(int column) const;
    bool isNull(int column) const;

private:
    Database &m_db;
    sqlite3_stmt *m_stmt = nullptr;
};

// An SQLite connection in WAL mode with a busy timeout, so a server and `admin` processes can
// share one file. A connection is used by one thread at a time (callers serialise).
class Database {
public:
    explicit Database(const std::string &path);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    void exec(const char *sql);
    std::int64_t changes() const;
    std::int64_t dataVersion();
    sqlite3 *handle() const { return m_db; }
    [[noreturn]] void fail(const char *what) const;

private:
    sqlite3 *m_db = nullptr;
};

// BEGIN IMMEDIATE … COMMIT; rolled back unless commit() was called.
class Transaction {
public:
    explicit Transaction(Database &db);
    ~Transaction();
    void commit();

private:
    Database &m_db;
    bool m_done = false;
};

}  // namespace devservice

}  // namespace mornix
