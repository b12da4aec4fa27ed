#pragma once

#include <memory>
#include <string>

#include "store/sqlite.h"
#include "store/write_ahead_log.h"

namespace mq::store {

// One open connection to queue.db: the file's schema, the checks an open
// makes, the write-ahead log and the statement trace. The writer and each
// reader hold one of their own, so that a read never waits on a write.
class metadata_connection_t {
 public:
  using access_t = sqlite::connection_t::access_t;

  // Opens (creating when missing), checks integrity and foreign keys,
  // switches foreign keys on, puts the database on its write-ahead log and
  // applies the schema. Throws sqlite::error_t on any failure. Read-only
  // opens an existing database for the reads alone and checks nothing: the
  // writer has done that.
  metadata_connection_t(const std::string& path, bool trace, access_t access = access_t::read_write);
  metadata_connection_t(const metadata_connection_t&) = delete;
  metadata_connection_t& operator=(const metadata_connection_t&) = delete;
  ~metadata_connection_t();

  // Logs every statement SQLite runs at debug level.
  void set_trace(bool trace);

  // Checkpoints the log when its length calls for it. Read-write only.
  void checkpoint_if_due();

  sqlite::connection_t& connection() { return connection_; }

 private:
  void check_integrity();
  void check_foreign_keys();
  static int trace_hook(unsigned type, void* context, void* p, void* x);

  sqlite::connection_t connection_;
  const std::string trace_prefix_ = "Queue metadata db: ";
  // Read-write only; goes before the connection closes.
  std::unique_ptr<write_ahead_log_t> log_;
};

}  // namespace mq::store
