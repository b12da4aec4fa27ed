#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/optional.hpp>

struct sqlite3;
struct sqlite3_stmt;

// A thin synchronous layer over SQLite: one connection, its prepared
// statements and a transaction guard. Not thread-safe: one thread uses a
// connection and its statements at a time.
namespace mq::store::sqlite {

class error_t : public std::runtime_error {
 public:
  explicit error_t(const std::string& text, int rc = 0) : std::runtime_error(text), rc_(rc) {}
  // "'<context>' -> (result code0x<rc>: <message>)"; without a connection
  // the message is SQLite's generic text for the code.
  error_t(sqlite3* db, int rc, const std::string& context);

  // SQLite's result code; 0 when the failure is not SQLite's.
  int code() const { return rc_; }
  // The database was locked by another connection past the busy limit.
  bool busy() const;

 private:
  int rc_ = 0;
};

// A COMMIT failed after its transaction may have reached the file (an I/O
// error while its frames went to the log): what is stored is unknown, so
// nothing may be run again or undone on the strength of it.
class outcome_unknown_t : public error_t {
 public:
  using error_t::error_t;
};

// Number of busy results waited out since the process started (all
// connections). Lets tests see that a busy wait really happened.
std::uint64_t busy_retries();

// How long one prepare or step waits for a lock held by another process
// before it fails with SQLite's busy result (default 10 s, so that a stuck
// process cannot freeze the database worker). Returns the previous limit.
std::chrono::milliseconds set_busy_limit(std::chrono::milliseconds limit);

class statement_t {
 public:
  // Resets the statement and clears its bindings when the scope ends, so
  // the next use starts afresh with every parameter NULL.
  class use_t {
   public:
    explicit use_t(statement_t& s) : s_(s) {}
    use_t(const use_t&) = delete;
    use_t& operator=(const use_t&) = delete;
    ~use_t() { s_.reset(); }

   private:
    statement_t& s_;
  };

  statement_t() = default;
  statement_t(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  statement_t(statement_t&& o) noexcept;
  statement_t& operator=(statement_t&& o) noexcept;
  statement_t(const statement_t&) = delete;
  statement_t& operator=(const statement_t&) = delete;
  ~statement_t();

  use_t use() { return use_t(*this); }

  // Parameters are numbered from 1.
  void bind_int64(int index, std::int64_t value);
  // Stored through the signed interface with the bit pattern unchanged.
  void bind_uint64(int index, std::uint64_t value) { bind_int64(index, static_cast<std::int64_t>(value)); }
  void bind_text(int index, const std::string& value);
  void bind_text(int index, const boost::optional<std::string>& value);
  void bind_null(int index);

  // True when a row is ready, false when the statement has completed.
  // Busy results are waited out up to the busy limit.
  bool step();
  void reset();

  // Columns are numbered from 0.
  bool is_null(int column) const;
  std::int64_t column_int64(int column) const;
  std::uint64_t column_uint64(int column) const { return static_cast<std::uint64_t>(column_int64(column)); }
  std::string column_text(int column) const;
  boost::optional<std::string> column_optional_text(int column) const;

  std::string sql() const;
  sqlite3_stmt* handle() const { return stmt_; }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

class connection_t {
 public:
  enum class access_t { read_write, read_only };

  // Opens the database file; read-write creates it when missing.
  explicit connection_t(const std::string& path, access_t access = access_t::read_write);
  connection_t(const connection_t&) = delete;
  connection_t& operator=(const connection_t&) = delete;
  ~connection_t();

  // Every statement of a text that may hold several, in order.
  std::vector<statement_t> prepare_all(const std::string& text);
  // The text must hold exactly one statement.
  statement_t prepare(const std::string& text);
  // Prepares each statement of the text and steps it once.
  void execute(const std::string& text);
  // Steps one statement, prepared once per connection and kept: for the
  // few fixed texts (BEGIN, COMMIT, savepoints) that every operation runs.
  void run(std::string_view text);

  std::int64_t last_insert_rowid() const;
  bool in_transaction() const;

  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
  std::map<std::string, statement_t, std::less<>> kept_;
};

// "BEGIN TRANSACTION;" on creation; "COMMIT;" through commit(); a guard that
// was not committed rolls back when it goes away. Inside a transaction that
// is already open the guard adds nothing, so that an operation can run alone
// or as part of a group: whoever catches a failure there and goes on holds
// the savepoint that undoes it (the writer's groups do).
class transaction_t {
 public:
  explicit transaction_t(connection_t& connection);
  transaction_t(const transaction_t&) = delete;
  transaction_t& operator=(const transaction_t&) = delete;
  ~transaction_t();

  // A failure that left the transaction open (busy) or rolled it back (a
  // constraint or the commit hook) is thrown as it is; any other failure of
  // COMMIT as outcome_unknown_t.
  void commit();

 private:
  connection_t& connection_;
  bool nested_;
  bool done_ = false;
};

}  // namespace mq::store::sqlite
