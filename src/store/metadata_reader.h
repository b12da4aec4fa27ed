#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/entry.h"
#include "store/metadata_connection.h"

namespace mq::store {

// The reads of queue.db, on a read-only connection of their own: one for the
// gets on the event loop, one per large thread and one per reading thread of
// async_reader_t (pages, statistics), so that each reads a snapshot of the
// log and never waits for the writer's COMMITs.
// Statements are prepared once per open.
class metadata_reader_t {
 public:
  // Opens an existing database read-only: the writer has checked it.
  metadata_reader_t(const std::string& path, bool trace);

  void set_trace(bool trace) { db_.set_trace(trace); }
  sqlite::connection_t& connection() { return db_.connection(); }

  // Throws entry_not_found_t for an unknown id.
  entry_metadata_t get_entry(std::int64_t id);
  // The same, unless the entry has more than `row_limit` rows of
  // recipients, their arguments, parts, samples, analyses and URLs: then
  // false, having read no more than that.
  bool get_entry(std::int64_t id, entry_metadata_t& m, std::size_t row_limit);
  queue_stats_t get_queue_stat();
  std::vector<queue_key_t> get_queue_chunk(const queue_chunk_request_t& request);
  std::vector<entry_brief_t> get_queue_chunk_brief(const queue_chunk_request_t& request);

 private:
  void read_content(std::int64_t entry_id, entry_content_t& content);
  // Counts one row against the limit of the get in progress.
  void count_row();

  std::size_t rows_left_ = 0;

  // Declared first: the statements below are finalized before it closes.
  metadata_connection_t db_;

  sqlite::statement_t select_entry_;
  sqlite::statement_t select_sender_;
  sqlite::statement_t select_recipient_ids_;
  sqlite::statement_t select_recipient_;
  sqlite::statement_t select_mime_parts_;
  sqlite::statement_t select_samples_;
  sqlite::statement_t select_analyses_;
  sqlite::statement_t select_urls_;
  sqlite::statement_t select_stat_;
  sqlite::statement_t select_chunk_;
  sqlite::statement_t select_chunk_brief_;
  sqlite::statement_t select_brief_recipients_;
};

}  // namespace mq::store
