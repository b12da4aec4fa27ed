#include "store/sqlite.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <sstream>
#include <utility>

namespace mq::store::sqlite {

namespace {

// Lock contention is waited out in steps of this many milliseconds, up to
// the busy limit per prepare or step.
constexpr int busy_sleep_ms = 100;

std::atomic<std::uint64_t> busy_retry_count{0};
std::atomic<std::int64_t> busy_limit_ms{10000};

// False once the limit has been waited out: the caller then fails with the
// busy result.
bool wait_busy(std::int64_t& waited_ms) {
  if (waited_ms >= busy_limit_ms.load(std::memory_order_relaxed)) return false;
  busy_retry_count.fetch_add(1, std::memory_order_relaxed);
  sqlite3_sleep(busy_sleep_ms);
  waited_ms += busy_sleep_ms;
  return true;
}

std::string make_message(sqlite3* db, int rc, const std::string& context) {
  std::ostringstream s;
  s << "'" << context << "' -> (result code0x" << std::hex << rc << ": "
    << (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) << ")";
  return s.str();
}

const char* skip_space(const char* p) {
  while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// Prepares the statements of a text one after another and hands each to f
// before the next one is prepared (a statement may depend on the effect of
// the one before it, as in a schema).
template <class F>
void for_each_statement(sqlite3* db, const std::string& text, F f) {
  const char* rest = text.c_str();
  for (;;) {
    rest = skip_space(rest);
    if (!*rest) break;
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    int rc;
    std::int64_t waited_ms = 0;
    while ((rc = sqlite3_prepare_v2(db, rest, -1, &raw, &tail)) == SQLITE_BUSY && wait_busy(waited_ms)) {
    }
    if (rc != SQLITE_OK) throw error_t(db, rc, std::string("sqlite3_prepare_v2: ") + rest);
    // A comment alone prepares to nothing.
    if (raw) f(statement_t(db, raw));
    if (!tail || tail == rest) break;
    rest = tail;
  }
}

// SQLite's unix layer opens every file with O_NOFOLLOW, but a regular file
// with a second hard link it would open, truncate and (as root) hand to the
// database's owner all the same. This open refuses such files on the
// descriptor it opened, so no swap between a check and the open helps.
//
// Reads leave the access time alone (where the file is ours): updating it
// would make a read of the log, on the event loop, wait for the file
// system's journal.
int open_single_link(const char* path, int flags, int mode) {
  int fd = ::open(path, flags | O_NOFOLLOW | O_NOATIME, static_cast<mode_t>(mode));
  if (fd < 0 && errno == EPERM) fd = ::open(path, flags | O_NOFOLLOW, static_cast<mode_t>(mode));
  if (fd < 0) return fd;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink > 1) {
    ::close(fd);
    errno = EMLINK;
    return -1;
  }
  return fd;
}

void install_safe_open() {
  static std::once_flag once;
  std::call_once(once, [] {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    if (vfs && vfs->iVersion >= 3 && vfs->xSetSystemCall)
      vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(&open_single_link));
  });
}

// The database file, its log, the log's index and a rollback journal left
// by an older version, where they exist, must be plain regular files: a link planted in the spool directory would
// otherwise make root write wherever it points.
void check_plain_file(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    throw error_t(path + ": " + std::strerror(errno));
  }
  if (S_ISLNK(st.st_mode)) throw error_t(path + " is a symbolic link");
  if (!S_ISREG(st.st_mode)) throw error_t(path + " is not a regular file");
  if (st.st_nlink != 1) throw error_t(path + " has " + std::to_string(st.st_nlink) + " hard links");
}

}  // namespace

error_t::error_t(sqlite3* db, int rc, const std::string& context)
    : std::runtime_error(make_message(db, rc, context)), rc_(rc) {}

bool error_t::busy() const { return (rc_ & 0xff) == SQLITE_BUSY; }

std::uint64_t busy_retries() { return busy_retry_count.load(std::memory_order_relaxed); }

std::chrono::milliseconds set_busy_limit(std::chrono::milliseconds limit) {
  return std::chrono::milliseconds(busy_limit_ms.exchange(limit.count(), std::memory_order_relaxed));
}

// ---------------------------------------------------------------------------

statement_t::statement_t(statement_t&& o) noexcept
    : db_(std::exchange(o.db_, nullptr)), stmt_(std::exchange(o.stmt_, nullptr)) {}

statement_t& statement_t::operator=(statement_t&& o) noexcept {
  if (this != &o) {
    sqlite3_finalize(stmt_);
    db_ = std::exchange(o.db_, nullptr);
    stmt_ = std::exchange(o.stmt_, nullptr);
  }
  return *this;
}

statement_t::~statement_t() { sqlite3_finalize(stmt_); }

void statement_t::bind_int64(int index, std::int64_t value) {
  const int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) throw error_t(db_, rc, "sqlite3_bind_int64");
}

void statement_t::bind_text(int index, const std::string& value) {
  const int rc = sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK) throw error_t(db_, rc, "sqlite3_bind_text");
}

void statement_t::bind_text(int index, const boost::optional<std::string>& value) {
  if (value) {
    bind_text(index, *value);
  } else {
    bind_null(index);
  }
}

void statement_t::bind_null(int index) {
  const int rc = sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK) throw error_t(db_, rc, "sqlite3_bind_null");
}

bool statement_t::step() {
  std::int64_t waited_ms = 0;
  for (;;) {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    if (rc != SQLITE_BUSY || !wait_busy(waited_ms)) throw error_t(db_, rc, "step: sqlite3_step");
  }
}

void statement_t::reset() {
  // The result repeats the last step's failure, which was already reported.
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

bool statement_t::is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

std::int64_t statement_t::column_int64(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string statement_t::column_text(int column) const {
  const auto* text = sqlite3_column_text(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  if (!text) return std::string();
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

boost::optional<std::string> statement_t::column_optional_text(int column) const {
  if (is_null(column)) return boost::none;
  return column_text(column);
}

std::string statement_t::sql() const {
  const char* text = sqlite3_sql(stmt_);
  return text ? text : "";
}

// ---------------------------------------------------------------------------

connection_t::connection_t(const std::string& path, access_t access) {
  install_safe_open();
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) check_plain_file(path + suffix);
  // NOFOLLOW: no link anywhere in the name; the other files' names are made
  // from it.
  const int mode = access == access_t::read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, mode | SQLITE_OPEN_NOFOLLOW, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw error_t(message);
  }
}

connection_t::~connection_t() { sqlite3_close_v2(db_); }

std::vector<statement_t> connection_t::prepare_all(const std::string& text) {
  std::vector<statement_t> result;
  for_each_statement(db_, text, [&](statement_t stmt) { result.push_back(std::move(stmt)); });
  return result;
}

statement_t connection_t::prepare(const std::string& text) {
  auto all = prepare_all(text);
  if (all.size() != 1) {
    throw error_t("Expected exactly one SQL statement in: " + text);
  }
  return std::move(all.front());
}

void connection_t::execute(const std::string& text) {
  for_each_statement(db_, text, [](statement_t stmt) { stmt.step(); });
}

void connection_t::run(std::string_view text) {
  auto it = kept_.find(text);
  if (it == kept_.end()) it = kept_.emplace(std::string(text), prepare(std::string(text))).first;
  auto use = it->second.use();
  it->second.step();
}

std::int64_t connection_t::last_insert_rowid() const { return sqlite3_last_insert_rowid(db_); }

bool connection_t::in_transaction() const { return sqlite3_get_autocommit(db_) == 0; }

// ---------------------------------------------------------------------------

transaction_t::transaction_t(connection_t& connection) : connection_(connection), nested_(connection.in_transaction()) {
  if (!nested_) connection_.run("BEGIN TRANSACTION;");
}

transaction_t::~transaction_t() {
  // SQLite may already have rolled back on its own after some failures.
  if (nested_ || done_ || !connection_.in_transaction()) return;
  try {
    connection_.run("ROLLBACK;");
  } catch (...) {
    // Nothing more can be done here; the connection stays usable.
  }
}

void transaction_t::commit() {
  if (nested_) return;
  try {
    connection_.run("COMMIT;");
  } catch (const error_t& e) {
    // Still open (busy: the guard rolls it back) or rolled back whole by
    // SQLite before anything was written: nothing is stored.
    if (connection_.in_transaction() || (e.code() & 0xff) == SQLITE_CONSTRAINT) throw;
    throw outcome_unknown_t(std::string("Queue metadata db: the outcome of a commit is unknown: ") + e.what(),
                            e.code());
  }
  done_ = true;
}

}  // namespace mq::store::sqlite
