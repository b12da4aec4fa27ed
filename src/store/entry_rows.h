#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "store/entry.h"
#include "store/sqlite.h"

namespace mq::store {

// The rows of an entry and of what hangs off it (connection, sender,
// recipients with their ESMTP arguments, parts with samples and analyses,
// URLs), written inside the caller's transaction: a whole put, a piece of
// one, or the rows an update replaces. Statements are prepared once per
// connection.
class entry_rows_t {
 public:
  explicit entry_rows_t(sqlite::connection_t& connection);

  // The entry with its connection and sender, under `status`; its id.
  std::int64_t insert_entry(const entry_metadata_t& m, std::int64_t status);
  void insert_sender(std::int64_t entry_id, const smtp_sender_t& sender);
  // The recipients from index `from` up to `to`.
  void insert_recipients(std::int64_t entry_id, const std::vector<smtp_recipient_t>& recipients, std::size_t from,
                         std::size_t to);
  void write_content(std::int64_t entry_id, const entry_content_t& content) {
    write_parts(entry_id, content.mime_parts, 0, content.mime_parts.size());
    write_urls(entry_id, content.urls, 0, content.urls.size());
  }
  void write_parts(std::int64_t entry_id, const std::vector<mime_part_t>& parts, std::size_t from, std::size_t to);
  void write_urls(std::int64_t entry_id, const std::vector<url_t>& urls, std::size_t from, std::size_t to);

 private:
  // Inserts (owner_id, text) with `stmt`; the new row's id.
  std::int64_t insert_text(sqlite::statement_t& stmt, std::int64_t owner_id, const std::string& text);
  // The id `select` finds for (owner_id, text), else the one inserted.
  std::int64_t find_or_insert(sqlite::statement_t& select, sqlite::statement_t& insert, std::int64_t owner_id,
                              const std::string& text);

  sqlite::connection_t& connection_;
  sqlite::statement_t insert_entry_;
  sqlite::statement_t insert_connect_;
  sqlite::statement_t insert_sender_;
  sqlite::statement_t insert_sender_esmtp_;
  sqlite::statement_t insert_recipient_;
  sqlite::statement_t insert_recipient_esmtp_;
  sqlite::statement_t select_mime_part_id_;
  sqlite::statement_t insert_mime_part_;
  sqlite::statement_t select_sample_id_;
  sqlite::statement_t insert_sample_;
  sqlite::statement_t insert_analysis_;
  sqlite::statement_t insert_url_;
};

}  // namespace mq::store
