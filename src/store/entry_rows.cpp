#include "store/entry_rows.h"

#include <string>

#include <boost/optional.hpp>

namespace mq::store {

namespace {

const char* const insert_entry_sql =
    "INSERT INTO entry(session_id_string, message_filename, message_size, status, received_ts, next_access_ts, "
    "attempts)\nVALUES (?, ?, ?, ?, ?, ?, ?)\n;";
const char* const insert_connect_sql =
    "INSERT INTO smtp_connect(entry_id, helo, address, port, proto)\nVALUES (?, ?, ?, ?, ?)\n;";
const char* const insert_sender_sql = "INSERT INTO smtp_sender(entry_id, sender)\nVALUES (?, ?)\n;";
const char* const insert_sender_esmtp_sql = "INSERT INTO smtp_sender_esmtp(sender_id, esmtp)\nVALUES (?, ?)\n;";
const char* const insert_recipient_sql = "INSERT INTO smtp_recipient(entry_id, recipient)\nVALUES (?, ?)\n;";
const char* const insert_recipient_esmtp_sql =
    "INSERT INTO smtp_recipient_esmtp(recipient_id, esmtp)\nVALUES (?, ?)\n;";
const char* const insert_mime_part_sql = "INSERT OR IGNORE INTO mime_part(entry_id, path)\nVALUES (?, ?)\n;";
const char* const insert_url_sql =
    "INSERT OR REPLACE INTO url(entry_id, url, category_mask, legal_url)\nVALUES (?, ?, ?, ?)\n;";
const char* const insert_sample_sql =
    "INSERT OR IGNORE INTO kavren_sample(mime_part_id, kavren_sample_object_id)\nVALUES (?, ?)\n;";
const char* const insert_analysis_sql =
    "INSERT INTO kavren_analysis(kavren_sample_id, params, kavren_analysis_object_id)\nVALUES (?, ?, ?)\n;";
const char* const select_mime_part_id_sql = "SELECT id FROM mime_part WHERE entry_id = ? AND path = ?;";
const char* const select_sample_id_sql =
    "SELECT id FROM kavren_sample WHERE mime_part_id = ? AND kavren_sample_object_id = ?;";

std::string normalized_path(const std::string& path) {
  if (path.empty() || path.back() != '/') return path + "/";
  return path;
}

}  // namespace

entry_rows_t::entry_rows_t(sqlite::connection_t& connection) : connection_(connection) {
  insert_entry_ = connection_.prepare(insert_entry_sql);
  insert_connect_ = connection_.prepare(insert_connect_sql);
  insert_sender_ = connection_.prepare(insert_sender_sql);
  insert_sender_esmtp_ = connection_.prepare(insert_sender_esmtp_sql);
  insert_recipient_ = connection_.prepare(insert_recipient_sql);
  insert_recipient_esmtp_ = connection_.prepare(insert_recipient_esmtp_sql);
  insert_mime_part_ = connection_.prepare(insert_mime_part_sql);
  insert_url_ = connection_.prepare(insert_url_sql);
  insert_sample_ = connection_.prepare(insert_sample_sql);
  insert_analysis_ = connection_.prepare(insert_analysis_sql);
  select_mime_part_id_ = connection_.prepare(select_mime_part_id_sql);
  select_sample_id_ = connection_.prepare(select_sample_id_sql);
}

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
  {
    auto use = insert_sender_.use();
    insert_sender_.bind_int64(1, entry_id);
    insert_sender_.bind_text(2, sender.sender);
    insert_sender_.step();
  }
  const std::int64_t sender_id = connection_.last_insert_rowid();
  for (const auto& esmtp : sender.esmtp) {
    auto use = insert_sender_esmtp_.use();
    insert_sender_esmtp_.bind_int64(1, sender_id);
    insert_sender_esmtp_.bind_text(2, esmtp);
    insert_sender_esmtp_.step();
  }
}

void entry_rows_t::insert_recipients(std::int64_t entry_id, const std::vector<smtp_recipient_t>& recipients,
                                     std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    const auto& recipient = recipients[i];
    {
      auto use = insert_recipient_.use();
      insert_recipient_.bind_int64(1, entry_id);
      insert_recipient_.bind_text(2, recipient.recipient);
      insert_recipient_.step();
    }
    const std::int64_t recipient_id = connection_.last_insert_rowid();
    for (const auto& esmtp : recipient.esmtp) {
      auto use = insert_recipient_esmtp_.use();
      insert_recipient_esmtp_.bind_int64(1, recipient_id);
      insert_recipient_esmtp_.bind_text(2, esmtp);
      insert_recipient_esmtp_.step();
    }
  }
}

void entry_rows_t::write_parts(std::int64_t entry_id, const std::vector<mime_part_t>& parts, std::size_t from,
                               std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    const auto& part = parts[i];
    const std::string path = normalized_path(part.path);
    boost::optional<std::int64_t> part_id;
    {
      auto use = select_mime_part_id_.use();
      select_mime_part_id_.bind_int64(1, entry_id);
      select_mime_part_id_.bind_text(2, path);
      if (select_mime_part_id_.step()) part_id = select_mime_part_id_.column_int64(0);
    }
    if (!part_id) {
      auto use = insert_mime_part_.use();
      insert_mime_part_.bind_int64(1, entry_id);
      insert_mime_part_.bind_text(2, path);
      insert_mime_part_.step();
      part_id = connection_.last_insert_rowid();
    }
    for (const auto& sample : part.samples) {
      boost::optional<std::int64_t> sample_id;
      {
        auto use = select_sample_id_.use();
        select_sample_id_.bind_int64(1, *part_id);
        select_sample_id_.bind_text(2, sample.id);
        if (select_sample_id_.step()) sample_id = select_sample_id_.column_int64(0);
      }
      if (!sample_id) {
        auto use = insert_sample_.use();
        insert_sample_.bind_int64(1, *part_id);
        insert_sample_.bind_text(2, sample.id);
        insert_sample_.step();
        sample_id = connection_.last_insert_rowid();
      }
      for (const auto& analysis : sample.analyses) {
        auto use = insert_analysis_.use();
        insert_analysis_.bind_int64(1, *sample_id);
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

}  // namespace mq::store
