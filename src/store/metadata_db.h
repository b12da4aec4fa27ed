#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "store/entry.h"
#include "store/sqlite.h"
#include "store/write_ahead_log.h"

namespace mq::store {

// The metadata database queue.db, synchronous: the connection and every
// statement the store uses, prepared once per open. One thread at a time.
class metadata_db_t {
 public:
  using access_t = sqlite::connection_t::access_t;

  // Opens (creating when missing), checks integrity and foreign keys,
  // switches foreign keys on, applies the schema and prepares the
  // statements. Throws sqlite::error_t on any failure. Read-write puts the
  // database on its write-ahead log. Read-only opens an existing database
  // for the reads alone and checks nothing: the writer has done that.
  metadata_db_t(const std::string& path, bool trace, access_t access = access_t::read_write);
  metadata_db_t(const metadata_db_t&) = delete;
  metadata_db_t& operator=(const metadata_db_t&) = delete;
  ~metadata_db_t();

  // Logs every statement SQLite runs at debug level.
  void set_trace(bool trace);

  // One transaction; the new entry id.
  std::uint64_t put_entry(const entry_metadata_t& metadata);
  // Throws wire::entry_not_found_t for an unknown id.
  entry_metadata_t get_entry(std::int64_t id);
  // One transaction; the previous message file name when the update
  // replaced it, otherwise empty. An unknown id changes nothing.
  std::string update_entry(std::int64_t id, const entry_metadata_update_t& update);
  // The same, but none when there is no entry with that id.
  boost::optional<std::string> update_existing_entry(std::int64_t id, const entry_metadata_update_t& update);
  // The removed entry's message file name; none when there was no entry.
  boost::optional<std::string> remove_entry(std::int64_t id);
  queue_stats_t get_queue_stat();
  std::vector<queue_key_t> get_queue_chunk(const queue_chunk_request_t& request);
  std::vector<entry_brief_t> get_queue_chunk_brief(const queue_chunk_request_t& request);
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

  // Every entry's id and message file name.
  std::vector<health_check_entry_t> list_entries();
  // Database half of the health check: sends the records, waits for the
  // orphaned ids, removes them when fixing and signals done.
  void check_health(std::promise<std::vector<health_check_entry_t>>& records,
                    std::future<std::vector<std::int64_t>>& orphan_ids, std::promise<void>& done, bool fix);

  // Checkpoints the log when its length calls for it; after a group has
  // been answered. Writer only.
  void checkpoint_if_due();

  sqlite::connection_t& connection() { return connection_; }

 private:
  void check_integrity();
  void check_foreign_keys();
  void insert_sender(std::int64_t entry_id, const smtp_sender_t& sender);
  void insert_recipients(std::int64_t entry_id, const std::vector<smtp_recipient_t>& recipients);
  void write_content(std::int64_t entry_id, const entry_content_t& content);
  void read_content(std::int64_t entry_id, entry_content_t& content);
  void set_column(sqlite::statement_t& stmt, std::int64_t id, std::uint64_t value);
  static int trace_hook(unsigned type, void* context, void* p, void* x);

  // Declared first: the statements below are finalized before it closes.
  sqlite::connection_t connection_;
  const std::string trace_prefix_ = "Queue metadata db: ";
  // The writer's only, after the connection.
  std::unique_ptr<write_ahead_log_t> log_;

  sqlite::statement_t insert_entry_;
  sqlite::statement_t insert_connect_;
  sqlite::statement_t insert_sender_;
  sqlite::statement_t insert_sender_esmtp_;
  sqlite::statement_t insert_recipient_;
  sqlite::statement_t insert_recipient_esmtp_;

  sqlite::statement_t insert_mime_part_;
  sqlite::statement_t insert_url_;
  sqlite::statement_t insert_sample_;
  sqlite::statement_t insert_analysis_;
  sqlite::statement_t select_mime_part_id_;
  sqlite::statement_t select_sample_id_;

  sqlite::statement_t select_entry_;
  sqlite::statement_t select_sender_;
  sqlite::statement_t select_recipient_ids_;
  sqlite::statement_t select_recipient_;
  sqlite::statement_t select_mime_parts_;
  sqlite::statement_t select_samples_;
  sqlite::statement_t select_analyses_;
  sqlite::statement_t select_urls_;

  sqlite::statement_t update_status_;
  sqlite::statement_t update_attempts_;
  sqlite::statement_t update_next_access_ts_;
  sqlite::statement_t update_message_filename_;
  sqlite::statement_t update_message_size_;
  sqlite::statement_t delete_recipients_;
  sqlite::statement_t delete_sender_;

  sqlite::statement_t select_message_filename_;
  sqlite::statement_t delete_entry_;
  sqlite::statement_t select_stat_;
  sqlite::statement_t select_flush_keys_;
  sqlite::statement_t flush_;
  sqlite::statement_t select_chunk_;
  sqlite::statement_t select_chunk_brief_;
  sqlite::statement_t select_brief_recipients_;
  sqlite::statement_t select_all_entries_;
};

}  // namespace mq::store
