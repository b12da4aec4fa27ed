#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drivers.h"
#include "store/entry.h"

namespace mq::store {
class message_dir_t;
class metadata_reader_t;
class metadata_writer_t;
}  // namespace mq::store

namespace mq::bench {

// The bare cost of the daemon's work on this machine: the same database
// transactions and file copies through the daemon's own database and
// directory code, run serially in process without sockets, event loop or
// workers.
class bare_store_t {
 public:
  // `dir` gets queue.db and the message directory "queue", as a spool does.
  // `sync` makes each new message file durable as the daemon does.
  bare_store_t(const std::string& dir, bool sync);
  ~bare_store_t();

  // Returns the new entry id.
  std::uint64_t put(mq::store::entry_metadata_t metadata, const mq::store::shared_file_t& source);
  // Reads the entry and its whole message file into `content`.
  mq::store::entry_metadata_t get(std::int64_t id, std::string& content);
  // Replaces the message file and sets attempts and next access time.
  void update_file(std::int64_t id, mq::store::entry_metadata_update_t update, const mq::store::shared_file_t& source);
  void remove(std::int64_t id);

  // The page walks and statistics, straight on the database: pages of
  // keys as the Sorter's walk reads them, or of briefs as the client's.
  enum class pages_t { ids, briefs };
  walk_stats_t walk(pages_t pages, mq::store::status_t status, std::uint64_t limit);
  // One page after the key; its time in seconds.
  double page(pages_t pages, mq::store::status_t status, std::uint64_t limit, const api::page_key_t& key);
  double queue_stat(mq::store::queue_stats_t& stats);

 private:
  std::vector<api::page_key_t> page_keys(pages_t pages, mq::store::status_t status, std::uint64_t limit,
                                         const api::page_key_t& key);

  std::unique_ptr<mq::store::message_dir_t> files_;
  std::unique_ptr<mq::store::metadata_writer_t> writer_;
  std::unique_ptr<mq::store::metadata_reader_t> reader_;
};

// The metadata every put of the benchmark carries; `n` makes it distinct.
mq::store::entry_metadata_t bench_metadata(std::uint64_t n, std::uint64_t size);

// Fills `spool_dir` with `count` entries of one status and empty message
// files: the schema through the daemon's database code, the rows with its
// own insert statements in one transaction (a commit per entry would take
// minutes). One entry in ten has a recipient at example.org. Due times run
// against the id order unless `arrival_order`, where they follow it as a
// queue's usually do.
void fill_queue(const std::string& spool_dir, std::uint64_t count, mq::store::status_t status,
                bool arrival_order = false);

}  // namespace mq::bench
