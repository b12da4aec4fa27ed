#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/optional.hpp>

#include "store/entry.h"
#include "store/group_worker.h"
#include "util/async_worker.h"
#include "util/callback_wrapper.h"
#include "util/result.h"

namespace mq::store {

class metadata_writer_t;
class queue_counts_t;

// The writes of the metadata database queue.db (puts, updates, removes,
// flushes, the health check), on the writer thread, calling back on the
// event loop. Reads run on the reader threads (async_reader_t).
class async_metadata_writer_t : public mq::util::callback_wrapper_t {
 public:
  template <class T>
  using callback_t = std::function<void(mq::util::result_t<T>)>;

  explicit async_metadata_writer_t(boost::asio::io_context& io);
  ~async_metadata_writer_t();

  std::future<void> init(const std::string& path, bool trace);
  // No further operation starts: the queued ones are dropped unanswered;
  // join() waits for the running one, whose answer is then on the loop.
  void stop();
  void join();
  void set_trace(bool trace);

  void put_entry(entry_metadata_t metadata, callback_t<std::uint64_t> callback);
  // Result: the previous message file name, empty when not changed.
  void update_entry(std::int64_t id, entry_metadata_update_t update, callback_t<std::string> callback);
  // The same; the result is absent when there is no entry with that id.
  void update_existing_entry(std::int64_t id, entry_metadata_update_t update,
                             callback_t<boost::optional<std::string>> callback);
  // Result: the removed entry's file name, absent when there was no entry.
  void remove_entry(std::int64_t id, callback_t<boost::optional<std::string>> callback);
  // The entries and bytes per status that it keeps as it commits; set by
  // init.
  const std::shared_ptr<queue_counts_t>& counts() const { return counts_; }
  // Has them looked at again (after another process changed the database).
  // Any thread.
  void refresh_counts();
  // Result: the keys whose time was reset, with time 0.
  void flush_queue(status_t status, callback_t<std::vector<queue_key_t>> callback);
  // The health check's halves on the writer, each short, so that writes
  // queued meanwhile go first: a slice of the records (see
  // metadata_writer_t::list_entries), and the suspected records without a
  // file looked at again, counted and, when fixing, removed (the result is
  // the count).
  void list_entries(std::int64_t after, std::size_t limit, callback_t<std::vector<health_check_entry_t>> callback);
  void settle_orphan_records(std::vector<std::int64_t> ids, std::function<bool(const std::string&)> present, bool fix,
                             callback_t<std::size_t> callback);

 private:
  class write_t;
  template <class T>
  class write_op_t;

  // A put in pieces (metadata_writer_t::pieces_of): each piece is posted
  // once the one before has been stored, behind the writes queued meanwhile.
  struct staged_put_t;
  void put_next_piece(const std::shared_ptr<staged_put_t>& put);
  void fail_staged_put(const std::shared_ptr<staged_put_t>& put, std::exception_ptr error);

  // The open database; throws when no init has succeeded. Worker only.
  metadata_writer_t& db();
  // Posts a write (put, update, remove): consecutive writes waiting for the
  // worker run as one group with one COMMIT; each callback comes after it.
  template <class T, class F>
  void post_write(F op, std::size_t bytes, callback_t<T> callback);
  // On the worker: a group of writes, one transaction.
  void run_writes(group_worker_t<write_t>::group_t& group);
  // On the worker, after answers: copies the log back when it is due.
  void checkpoint();
  // Hands the writes posted so far in this turn of the event loop to the
  // worker together, so that a group takes all of them (a group of files
  // answers its puts in one turn). Everything else posted to the worker
  // goes through worker(), which does this first: nothing overtakes a write.
  void submit();
  mq::util::async_worker_t& worker();

  std::unique_ptr<metadata_writer_t> db_;                                   // used on the worker only
  std::vector<std::unique_ptr<mq::util::async_worker_t::task_t>> pending_;  // event loop only
  // Of db_, written on the worker only; read by the readers.
  std::shared_ptr<queue_counts_t> counts_;
  group_worker_t<write_t> worker_;
};

}  // namespace mq::store
