#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "store/entry.h"
#include "store/entry_rows.h"
#include "store/metadata_connection.h"

namespace mq::store {

// Every write to queue.db, on the one connection that writes: the store's
// database worker (async_metadata_writer_t) alone, so that writes are grouped
// into shared COMMITs in the order they were asked for. Statements are
// prepared once per open.
class metadata_writer_t {
 public:
  // Opens read-write: see metadata_connection_t.
  metadata_writer_t(const std::string& path, bool trace);

  void set_trace(bool trace) { db_.set_trace(trace); }
  // After a group has been answered.
  void checkpoint_if_due() { db_.checkpoint_if_due(); }
  sqlite::connection_t& connection() { return db_.connection(); }

  // One transaction; the new entry id.
  std::uint64_t put_entry(const entry_metadata_t& metadata);
  // One transaction; the previous message file name when the update
  // replaced it, otherwise empty. An unknown id changes nothing.
  std::string update_entry(std::int64_t id, const entry_metadata_update_t& update);
  // The same, but none when there is no entry with that id.
  boost::optional<std::string> update_existing_entry(std::int64_t id, const entry_metadata_update_t& update);
  // The removed entry's message file name; none when there was no entry.
  boost::optional<std::string> remove_entry(std::int64_t id);
  // A put that would hold the writer for long (past `piece_rows` rows) is
  // stored in pieces, each a transaction of its own, so that other writes
  // go on between them: first its entry, hidden (status `staged_status`,
  // which no read, update or removal finds), then its rows, then it is
  // shown with its status. An entry never shown is removed at the next
  // open. No pieces: the put fits one transaction.
  struct put_piece_t {
    std::size_t recipients_from = 0, recipients_to = 0;
    std::size_t parts_from = 0, parts_to = 0;
    std::size_t urls_from = 0, urls_to = 0;
  };
  static constexpr std::size_t piece_rows = 8192;
  static std::vector<put_piece_t> pieces_of(const entry_metadata_t& metadata);
  std::int64_t begin_put(const entry_metadata_t& metadata);
  void put_piece(std::int64_t id, const entry_metadata_t& metadata, const put_piece_t& piece);
  std::uint64_t end_put(std::int64_t id, status_t status);
  void drop_put(std::int64_t id);

  // Makes every entry of the status due at once; the keys that changed,
  // with time 0.
  std::vector<queue_key_t> flush_queue(status_t status);

  // Runs the operations as one transaction with one COMMIT, each inside a
  // savepoint of its own: one that throws is rolled back alone and its
  // exception lands in its slot of the result. If the group is rolled back
  // whole (a constraint at COMMIT, the commit hook), every operation runs
  // again alone, in its own transaction. A busy database fails the whole
  // group at once; a COMMIT whose outcome is unknown (outcome_unknown_t)
  // fails every operation with it and runs nothing again. A single
  // operation runs in its own transaction.
  std::vector<std::exception_ptr> run_group(const std::vector<std::function<void()>>& ops);

  // Up to `limit` entries with an id above `after`, by id: the health check
  // reads the records a slice at a time, so that writes go on between.
  std::vector<health_check_entry_t> list_entries(std::int64_t after, std::size_t limit);
  // The health check's suspected records without a file, looked at again
  // now: those still there whose file `present` does not find are counted
  // and, when fixing, removed (each in its own transaction).
  std::size_t settle_orphan_records(const std::vector<std::int64_t>& ids,
                                    const std::function<bool(const std::string&)>& present, bool fix);

 private:
  // The message file name of an entry that is shown (no hidden put's).
  boost::optional<std::string> message_filename(std::int64_t id);
  void set_column(sqlite::statement_t& stmt, std::int64_t id, std::uint64_t value);

  // Declared first: the statements below are finalized before it closes.
  metadata_connection_t db_;
  entry_rows_t rows_;

  sqlite::statement_t update_status_;
  sqlite::statement_t update_attempts_;
  sqlite::statement_t update_next_access_ts_;
  sqlite::statement_t update_message_filename_;
  sqlite::statement_t update_message_size_;
  sqlite::statement_t delete_recipients_;
  sqlite::statement_t delete_sender_;
  sqlite::statement_t select_message_filename_;
  sqlite::statement_t delete_entry_;
  sqlite::statement_t select_flush_keys_;
  sqlite::statement_t flush_;
  sqlite::statement_t select_entries_after_;
  sqlite::statement_t show_put_;
};

}  // namespace mq::store
