#include "store/entry_rows.h"

#include <string>

namespace mq::store {

namespace {

std::string normalized_path(const std::string& path) {
  if (path.empty() || path.back() != '/') return path + "/";
  return path;
}

}  // namespace

// The statements' texts are fixed.
entry_rows_t::entry_rows_t(sqlite::connection_t& connection)
    : connection_(connection),
      insert_entry_(connection.prepare(
          "INSERT INTO entry(session_id_string, message_filename, message_size, status, received_ts, next_access_ts, "
          "attempts)\nVALUES (?, ?, ?, ?, ?, ?, ?)\n;")),
      insert_connect_(connection.prepare(
          "INSERT INTO smtp_connect(entry_id, helo, address, port, proto)\nVALUES (?, ?, ?, ?, ?)\n;")),
      insert_sender_(connection.prepare("INSERT INTO smtp_sender(entry_id, sender)\nVALUES (?, ?)\n;")),
      insert_sender_esmtp_(connection.prepare("INSERT INTO smtp_sender_esmtp(sender_id, esmtp)\nVALUES (?, ?)\n;")),
      insert_recipient_(connection.prepare("INSERT INTO smtp_recipient(entry_id, recipient)\nVALUES (?, ?)\n;")),
      insert_recipient_esmtp_(
          connection.prepare("INSERT INTO smtp_recipient_esmtp(recipient_id, esmtp)\nVALUES (?, ?)\n;")),
      select_mime_part_id_(connection.prepare("SELECT id FROM mime_part WHERE entry_id = ? AND path = ?;")),
      insert_mime_part_(connection.prepare("INSERT OR IGNORE INTO mime_part(entry_id, path)\nVALUES (?, ?)\n;")),
      select_sample_id_(
          connection.prepare("SELECT id FROM kavren_sample WHERE mime_part_id = ? AND kavren_sample_object_id = ?;")),
      insert_sample_(connection.prepare(
          "INSERT OR IGNORE INTO kavren_sample(mime_part_id, kavren_sample_object_id)\nVALUES (?, ?)\n;")),
      insert_analysis_(connection.prepare(
          "INSERT INTO kavren_analysis(kavren_sample_id, params, kavren_analysis_object_id)\nVALUES (?, ?, ?)\n;")),
      insert_url_(connection.prepare(
          "INSERT OR REPLACE INTO url(entry_id, url, category_mask, legal_url)\nVALUES (?, ?, ?, ?)\n;")) {}

std::int64_t entry_rows_t::insert_entry(const entry_metadata_t& m, std::int64_t status) {
  {
    auto use = insert_entry_.use();
    insert_entry_.bind_text(1, m.session_id);
    insert_entry_.bind_text(2, m.message_filename);
    insert_entry_.bind_uint64(3, m.message_size);
    insert_entry_.bind_int64(4, status);
    insert_entry_.bind_uint64(5, m.received_ts);
    insert_entry_.bind_uint64(6, m.next_access_ts);
    insert_entry_.bind_uint64(7, m.attempts);
    insert_entry_.step();
  }
  const std::int64_t id = connection_.last_insert_rowid();
  {
    auto use = insert_connect_.use();
    insert_connect_.bind_int64(1, id);
    insert_connect_.bind_text(2, m.smtp_connect.helo);
    insert_connect_.bind_text(3, m.smtp_connect.address);
    if (m.smtp_connect.port) {
      insert_connect_.bind_int64(4, *m.smtp_connect.port);
    } else {
      insert_connect_.bind_null(4);
    }
    insert_connect_.bind_text(5, m.smtp_connect.proto);
    insert_connect_.step();
  }
  insert_sender(id, m.smtp_sender);
  return id;
}

void entry_rows_t::insert_sender(std::int64_t entry_id, const smtp_sender_t& sender) {
  const std::int64_t sender_id = insert_text(insert_sender_, entry_id, sender.sender);
  for (const auto& esmtp : sender.esmtp) insert_text(insert_sender_esmtp_, sender_id, esmtp);
}

void entry_rows_t::insert_recipients(std::int64_t entry_id, const std::vector<smtp_recipient_t>& recipients,
                                     std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    const auto& recipient = recipients[i];
    const std::int64_t recipient_id = insert_text(insert_recipient_, entry_id, recipient.recipient);
    for (const auto& esmtp : recipient.esmtp) insert_text(insert_recipient_esmtp_, recipient_id, esmtp);
  }
}

void entry_rows_t::write_parts(std::int64_t entry_id, const std::vector<mime_part_t>& parts, std::size_t from,
                               std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    const auto& part = parts[i];
    const std::string path = normalized_path(part.path);
    const std::int64_t part_id = find_or_insert(select_mime_part_id_, insert_mime_part_, entry_id, path);
    for (const auto& sample : part.samples) {
      const std::int64_t sample_id = find_or_insert(select_sample_id_, insert_sample_, part_id, sample.id);
      for (const auto& analysis : sample.analyses) {
        auto use = insert_analysis_.use();
        insert_analysis_.bind_int64(1, sample_id);
        insert_analysis_.bind_text(2, analysis.params);
        insert_analysis_.bind_text(3, analysis.id);
        insert_analysis_.step();
      }
    }
  }
}

void entry_rows_t::write_urls(std::int64_t entry_id, const std::vector<url_t>& urls, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    const auto& url = urls[i];
    auto use = insert_url_.use();
    insert_url_.bind_int64(1, entry_id);
    insert_url_.bind_text(2, url.url);
    insert_url_.bind_uint64(3, url.category_mask);
    insert_url_.bind_text(4, url.legal_url);
    insert_url_.step();
  }
}

std::int64_t entry_rows_t::insert_text(sqlite::statement_t& stmt, std::int64_t owner_id, const std::string& text) {
  {
    auto use = stmt.use();
    stmt.bind_int64(1, owner_id);
    stmt.bind_text(2, text);
    stmt.step();
  }
  return connection_.last_insert_rowid();
}

std::int64_t entry_rows_t::find_or_insert(sqlite::statement_t& select, sqlite::statement_t& insert,
                                          std::int64_t owner_id, const std::string& text) {
  {
    auto use = select.use();
    select.bind_int64(1, owner_id);
    select.bind_text(2, text);
    if (select.step()) return select.column_int64(0);
  }
  return insert_text(insert, owner_id, text);
}

}  // namespace mq::store
