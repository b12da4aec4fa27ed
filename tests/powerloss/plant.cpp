// Faults planted into the daemon for the power-loss replay to catch; loaded
// with LD_PRELOAD, never linked into a program. MQ_POWERLOSS_PLANT chooses:
//   queue_db_no_sync    every fsync and fdatasync of queue.db does nothing
//   synchronous_normal  the log is synced at checkpoints only, not at commits
//   log_sync_fails      a sync of queue.db-wal fails with EIO once the file
//                       fail-log-sync exists beside it
#include <dlfcn.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool planted(const char* fault) {
  static const char* plant = std::getenv("MQ_POWERLOSS_PLANT");
  return plant && std::strcmp(plant, fault) == 0;
}

// Whether the file open at `fd` is `name` in the spool; `beside`, when
// given, must exist there too.
bool spool_file(int fd, const char* name, const char* beside = nullptr) {
  char link[64], path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1), k = static_cast<ssize_t>(std::strlen(name));
  if (n <= k || path[n - k - 1] != '/' || std::memcmp(path + n - k, name, k) != 0) return false;
  return !beside || (std::strcpy(path + n - k, beside), access(path, F_OK) == 0);
}

// A sync of the write-ahead log armed to fail.
bool failing_log_sync(int fd) {
  return planted("log_sync_fails") && spool_file(fd, "queue.db-wal", "fail-log-sync") && (errno = EIO);
}

template <class F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
  static const auto real = next<int (*)(int)>("fsync");
  if (failing_log_sync(fd)) return -1;
  return planted("queue_db_no_sync") && spool_file(fd, "queue.db") ? 0 : real(fd);
}

extern "C" int fdatasync(int fd) {
  static const auto real = next<int (*)(int)>("fdatasync");
  if (failing_log_sync(fd)) return -1;
  return planted("queue_db_no_sync") && spool_file(fd, "queue.db") ? 0 : real(fd);
}

extern "C" int sqlite3_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** stmt, const char** tail) {
  static const auto real = next<decltype(&sqlite3_prepare_v2)>("sqlite3_prepare_v2");
  static const char full[] = "PRAGMA synchronous=FULL;";
  if (!planted("synchronous_normal") || std::strncmp(sql, full, sizeof full - 1) != 0)
    return real(db, sql, bytes, stmt, tail);
  const int rc = real(db, "PRAGMA synchronous=NORMAL;", -1, stmt, nullptr);
  if (tail) *tail = sql + sizeof full - 1;
  return rc;
}
