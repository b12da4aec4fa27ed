#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drivers.h"
#include "store/entry.h"
#include "store/shared_file.h"

namespace mq::store {
class message_dir_t;
class metadata_writer_t;
}  // namespace mq::store

namespace mq::bench {

// What the disk allows the daemon's own way of working: its grouped work
// done serially in process with the daemon's own directory and database
// code, and no sockets, event loop or worker threads in between. A group's
// operations all finish when the group does.
class limit_store_t {
 public:
  // Reads run on this many threads, as in the daemon.
  static constexpr std::size_t reader_threads = 2;
  // Operations per group, the most the daemon's database worker takes.
  static constexpr std::size_t group = 128;

  // `dir` gets queue.db and the message directory "queue", as a spool does.
  explicit limit_store_t(const std::string& dir);
  ~limit_store_t();

  // Every file written, made durable the way the daemon's directory does on
  // this file system, then one transaction with a savepoint per put. The
  // new ids.
  std::vector<std::int64_t> put_group(std::vector<mq::store::entry_metadata_t> metadata,
                                      const mq::store::shared_file_t& source);
  // The same with new files for existing entries (attempts and next access
  // time set); the replaced files go with the next group's files.
  void update_group(const std::vector<std::int64_t>& ids, const mq::store::shared_file_t& source);
  // One transaction; the files go with the next group's files.
  void remove_group(const std::vector<std::int64_t>& ids);
  // Removes the files still waiting.
  void finish();

  // `count` gets cycling over `ids`: the row, then the whole file, spread
  // over the reader threads. `expect` is every file's content.
  batch_stats_t get_all(const std::vector<std::int64_t>& ids, std::size_t count, const std::string& expect);

 private:
  // Writes the files of `sources` (with the deletes waiting) as one group.
  void write_files(const std::vector<std::pair<std::string, const mq::store::shared_file_t*>>& sources);

  std::string dir_;
  std::unique_ptr<mq::store::message_dir_t> files_;
  std::unique_ptr<mq::store::metadata_writer_t> db_;
  std::vector<std::string> deletes_;
};

}  // namespace mq::bench
