#include "store/write_ahead_log.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <string>
#include <thread>

#include "ov/logger.h"

namespace mq::store {

write_ahead_log_t::write_ahead_log_t(sqlite::connection_t& connection) : connection_(connection) {
  {
    auto mode = connection_.prepare("PRAGMA journal_mode=WAL;");
    if (!mode.step() || mode.column_text(0) != "wal")
      throw sqlite::error_t("Queue metadata db: cannot switch to a write-ahead log");
  }
  // With a log, FULL syncs it at every COMMIT: an answered write survives a
  // power loss (NORMAL would sync only at checkpoints and lose the last
  // commits).
  connection_.execute("PRAGMA synchronous=FULL;");
  // A transaction larger than the limit grows the file; the first commit
  // after the log starts over cuts it back.
  const std::int64_t page_size = [&] {
    auto size = connection_.prepare("PRAGMA page_size;");
    return size.step() ? size.column_int64(0) : 4096;
  }();
  connection_.execute("PRAGMA journal_size_limit=" + std::to_string(limit_frames * (page_size + 24)) + ";");
  sync_directory();
  // Replaces SQLite's own checkpoint after every COMMIT that passes 1000
  // pages: that one runs inside the COMMIT, before its answer.
  sqlite3_wal_hook(connection_.handle(), &write_ahead_log_t::on_commit, this);
}

write_ahead_log_t::~write_ahead_log_t() { sqlite3_wal_hook(connection_.handle(), nullptr, nullptr); }

void write_ahead_log_t::sync_directory() {
  // A read opens the log, creating it when missing.
  connection_.execute("SELECT count(*) FROM sqlite_master;");
  // SQLite syncs the directory once the log is new but ignores a failure:
  // until its name is on disk, no commit in it is.
  const std::string path = sqlite3_db_filename(connection_.handle(), "main");
  const std::string dir = path.substr(0, path.rfind('/') + 1);
  // Opened the way SQLite opens it, through its layer of system calls (which
  // tests replace to make the sync fail).
  using open_directory_t = int (*)(const char*, int*);
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  const auto open_directory = vfs && vfs->iVersion >= 3 && vfs->xGetSystemCall
                                  ? reinterpret_cast<open_directory_t>(vfs->xGetSystemCall(vfs, "openDirectory"))
                                  : nullptr;
  int fd = -1;
  errno = 0;
  if (!open_directory) {
    fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } else if (open_directory(path.c_str(), &fd) != SQLITE_OK) {
    fd = -1;
  }
  if (fd < 0 || ::fsync(fd) != 0) {
    const int error = errno ? errno : EIO;
    if (fd >= 0) ::close(fd);
    throw sqlite::error_t("Queue metadata db: cannot sync " + dir + ": " + std::strerror(error));
  }
  ::close(fd);
}

int write_ahead_log_t::on_commit(void* self, sqlite3*, const char*, int frames) {
  static_cast<write_ahead_log_t*>(self)->frames_ = frames;
  // Anything else would turn the COMMIT that has succeeded into a failure.
  return SQLITE_OK;
}

int write_ahead_log_t::on_busy(void* self, int) {
  if (std::chrono::steady_clock::now() >= static_cast<write_ahead_log_t*>(self)->wait_until_) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return 1;
}

void write_ahead_log_t::checkpoint_if_due() {
  // Between tries at a restart as long as a try may wait: the writes keep
  // at least half of the writer's time. Meanwhile whatever the reads allow
  // is copied, and once they have all let go, the next write starts the
  // log over by itself.
  if (frames_ >= restart_at_ && std::chrono::steady_clock::now() >= next_try_) {
    checkpoint(true);
  } else if (frames_ >= checkpoint_frames) {
    checkpoint(false);
  }
}

bool write_ahead_log_t::checkpoint(bool restart) {
  sqlite3* db = connection_.handle();
  int log = 0, copied = 0;
  const auto now = std::chrono::steady_clock::now();
  if (restart) {
    if (restart_since_ == std::chrono::steady_clock::time_point{}) restart_since_ = now;
    wait_until_ = now + attempt_wait;
    sqlite3_busy_handler(db, &write_ahead_log_t::on_busy, this);
  }
  const int rc = sqlite3_wal_checkpoint_v2(db, nullptr, restart ? SQLITE_CHECKPOINT_RESTART : SQLITE_CHECKPOINT_PASSIVE,
                                           &log, &copied);
  if (restart) {
    sqlite3_busy_handler(db, nullptr, nullptr);
    // An old read still going: the queued writes first, then another try.
    if (rc == SQLITE_BUSY && now - restart_since_ < reader_wait) {
      next_try_ = std::chrono::steady_clock::now() + attempt_wait;
      return false;
    }
    restart_since_ = {};
    restart_at_ = rc == SQLITE_OK ? limit_frames : frames_ + limit_frames;
  }
  if (rc != SQLITE_OK) {
    OV_LOG(warning, "Queue metadata db: checkpoint of the log ("
                        << frames_ << " pages): " << sqlite::error_t(db, rc, "checkpoint").what());
    return false;
  }
  // Everything copied: nothing to do before the next commit.
  frames_ = restart || copied == log ? 0 : log;
  return true;
}

}  // namespace mq::store
