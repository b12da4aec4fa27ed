#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/path.hpp>

#include "store/entry.h"
#include "store/port.h"
#include "util/fair_pool.h"
#include "util/result.h"

namespace mq::store {

class file_opener_t;
class lock_entry_t;
class metadata_reader_t;

// The store's gets: a record read on the event loop from a snapshot of the
// log, one too large for a turn read again whole on the large threads (which
// large requests' parsing shares, see run_large), then the file opened off
// the loop; from the read until the file is open, writes of the entry wait.
// Event loop only.
class entry_getter_t {
 public:
  template <class T>
  using callback_t = store_port_t::callback_t<T>;

  // `alive` is lowered when the store closes: completions after that do
  // nothing.
  entry_getter_t(boost::asio::io_context& io, std::shared_ptr<lock_entry_t> locks, std::shared_ptr<bool> alive);
  ~entry_getter_t();
  entry_getter_t(const entry_getter_t&) = delete;
  entry_getter_t& operator=(const entry_getter_t&) = delete;

  // Once the database's schema and the directory exist.
  void open(const std::string& db_path, const boost::filesystem::path& queue_dir, bool trace);
  void set_trace(bool trace);
  // Gets and large jobs not started yet never run; a large read, which may
  // take seconds, ends at once, failing.
  void halt();

  void get_entry(std::int64_t id, callback_t<entry_t> callback, const void* owner);
  void run_large(const void* owner, std::function<void()> job, std::function<void()> done);

 private:
  // A get whose record is read: opens its file, then answers.
  void open_file(std::int64_t id, const std::shared_ptr<entry_t>& entry, callback_t<entry_t> callback);
  void post_large(const void* owner, std::function<void(std::size_t thread)> job, std::function<void()> done);

  boost::asio::io_context& io_;
  std::shared_ptr<lock_entry_t> locks_;
  std::shared_ptr<bool> alive_;
  // Records read on the event loop on a read-only connection, files opened
  // where a held open holds up nothing else.
  std::unique_ptr<metadata_reader_t> loop_db_;
  std::unique_ptr<file_opener_t> opener_;
  // Large gets and answers, and large requests' parsing: a reader per
  // thread of the pool.
  std::unique_ptr<mq::util::fair_pool_t> large_;
  std::vector<std::unique_ptr<metadata_reader_t>> large_readers_;
};

}  // namespace mq::store
