#include "store/metadata_db.h"

#include <sqlite3.h>

#include <stdexcept>
#include <utility>

#include "ov/logger.h"
#include "util/thrown_by.h"
#include "wire/entry_not_found.h"

namespace mq::store {

namespace {

// The file format and the statements; the texts are fixed.
const char* const schema_sql = R"sql(CREATE TABLE IF NOT EXISTS entry (
    id                  INTEGER PRIMARY KEY AUTOINCREMENT,

    session_id_string   TEXT,
    message_filename    TEXT NOT NULL,
    message_size        INTEGER NOT NULL,

    received_ts         INTEGER NOT NULL,
    next_access_ts      INTEGER NOT NULL,
    status              INTEGER NOT NULL,
    attempts            INTEGER NOT NULL
);

CREATE TABLE IF NOT EXISTS mime_part (
    id               INTEGER PRIMARY KEY,
    entry_id         INTEGER NOT NULL,
    path             TEXT NOT NULL,
    scan_report      BLOB,

    UNIQUE(entry_id, path),
    FOREIGN KEY(entry_id) REFERENCES entry(id) ON DELETE CASCADE
);

CREATE TABLE IF NOT EXISTS kavren_sample (
    id                      INTEGER PRIMARY KEY,
    mime_part_id            INTEGER NOT NULL,
    kavren_sample_object_id TEXT NOT NULL,

    UNIQUE(mime_part_id, kavren_sample_object_id),
    FOREIGN KEY(mime_part_id) REFERENCES mime_part(id) ON DELETE CASCADE
);

CREATE TABLE IF NOT EXISTS kavren_analysis (
    id                          INTEGER PRIMARY KEY,
    kavren_sample_id            INTEGER NOT NULL,
    params                      BLOB NOT NULL,
    kavren_analysis_object_id   TEXT NOT NULL,

    FOREIGN KEY(kavren_sample_id) REFERENCES kavren_sample(id) ON DELETE CASCADE
);

CREATE INDEX IF NOT EXISTS kavren_analysis_by_kavren_sample_index ON
    kavren_analysis(kavren_sample_id);

CREATE TABLE IF NOT EXISTS url (
    id              INTEGER PRIMARY KEY,
    entry_id        INTEGER NOT NULL,
    url             TEXT NOT NULL,
    category_mask   INTEGER NOT NULL,
    legal_url       TEXT,

    UNIQUE(entry_id, url),
    FOREIGN KEY(entry_id) REFERENCES entry(id) ON DELETE CASCADE
);

CREATE TABLE IF NOT EXISTS smtp_connect (
    id            INTEGER PRIMARY KEY,
    entry_id      INTEGER NOT NULL UNIQUE,
    helo          TEXT,
    address       TEXT,
    port          INTEGER,
    proto         TEXT,

    FOREIGN KEY(entry_id) REFERENCES entry(id) ON DELETE CASCADE
);

CREATE TABLE IF NOT EXISTS smtp_sender (
    id            INTEGER PRIMARY KEY,
    entry_id      INTEGER NOT NULL UNIQUE,
    sender        TEXT NOT NULL,

    FOREIGN KEY(entry_id) REFERENCES entry(id) ON DELETE CASCADE
);

CREATE TABLE IF NOT EXISTS smtp_sender_esmtp (
    id           INTEGER PRIMARY KEY,
    sender_id    INTEGER NOT NULL,
    esmtp        TEXT NOT NULL,

    FOREIGN KEY(sender_id) REFERENCES smtp_sender(id) ON DELETE CASCADE
);

CREATE INDEX IF NOT EXISTS smtp_sender_esmtp_by_smtp_sender_index ON
    smtp_sender_esmtp(sender_id);

CREATE TABLE IF NOT EXISTS smtp_recipient (
    id           INTEGER PRIMARY KEY,
    entry_id     INTEGER NOT NULL,
    recipient    TEXT NOT NULL,

    FOREIGN KEY(entry_id) REFERENCES entry(id) ON DELETE CASCADE
);

CREATE INDEX IF NOT EXISTS smtp_recipient_by_entry_index ON
    smtp_recipient(entry_id);

CREATE TABLE IF NOT EXISTS smtp_recipient_esmtp (
    id           INTEGER PRIMARY KEY,
    recipient_id INTEGER NOT NULL,
    esmtp        TEXT NOT NULL,

    FOREIGN KEY(recipient_id) REFERENCES smtp_recipient(id) ON DELETE CASCADE
);

CREATE INDEX IF NOT EXISTS smtp_recipient_esmtp_by_smtp_recipient_index ON
    smtp_recipient_esmtp(recipient_id);
)sql";

// Not part of the schema text: a database made by this version stays
// readable by an earlier one, and one made by an earlier version gains the
// index on its first open here. Pages seek on it instead of scanning the
// whole table.
const char* const paging_index_sql =
    "CREATE INDEX IF NOT EXISTS entry_by_status_next_access_ts_index ON entry(status, next_access_ts, id);";

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

const char* const select_entry_sql =
    R"sql(SELECT e.session_id_string, e.message_filename, e.message_size, e.status, e.received_ts, e.next_access_ts, e.attempts,
       c.helo, c.address, c.port, c.proto,
       s.id
FROM  entry e
LEFT JOIN smtp_connect c ON c.entry_id = e.id
LEFT JOIN smtp_sender s ON s.entry_id = e.id
WHERE e.id = ?
;
)sql";

const char* const select_sender_sql = R"sql(SELECT sender FROM smtp_sender WHERE id = ?1
UNION ALL
SELECT esmtp FROM smtp_sender_esmtp WHERE sender_id = ?1
;
)sql";

const char* const select_recipient_sql = R"sql(SELECT recipient FROM smtp_recipient WHERE id = ?1
UNION ALL
SELECT esmtp FROM smtp_recipient_esmtp WHERE recipient_id = ?1
;
)sql";

const char* const update_status_sql = "UPDATE entry SET status = ? WHERE id = ?;";
const char* const update_attempts_sql = "UPDATE entry SET attempts = ? WHERE id = ?;";
const char* const update_next_access_ts_sql = "UPDATE entry SET next_access_ts = ? WHERE id = ?;";
const char* const update_message_filename_sql = "UPDATE entry SET message_filename = ? WHERE id = ?;";
const char* const update_message_size_sql = "UPDATE entry SET message_size = ? WHERE id = ?;";
const char* const delete_recipients_sql = "DELETE FROM smtp_recipient WHERE entry_id = ?;";
const char* const delete_sender_sql = "DELETE FROM smtp_sender WHERE entry_id = ?;";

const char* const select_flush_keys_sql = R"sql(SELECT id, next_access_ts FROM entry
WHERE status = ?
AND   next_access_ts != 0
;
)sql";

const char* const select_chunk_sql = R"sql(SELECT id, next_access_ts FROM entry
WHERE (next_access_ts > ?2 OR (next_access_ts = ?2 AND id > ?1))
AND   status = ?3
ORDER BY
      next_access_ts,
      id
LIMIT ?4
;
)sql";

const char* const select_chunk_brief_sql =
    R"sql(SELECT e.id, e.next_access_ts, e.attempts, COALESCE(e.session_id_string, ""), COALESCE(s.sender, "")
FROM entry e
LEFT JOIN smtp_sender s ON s.entry_id = e.id
WHERE (e.next_access_ts > ?2 OR (e.next_access_ts = ?2 AND e.id > ?1))
AND   status = ?3
ORDER BY
    e.next_access_ts,
    e.id
LIMIT ?4
;
)sql";

const char* const select_brief_recipients_sql = R"sql(SELECT recipient FROM smtp_recipient
WHERE entry_id = ?
;
)sql";

const char* const select_mime_part_id_sql = "SELECT id FROM mime_part WHERE entry_id = ? AND path = ?;";
const char* const select_sample_id_sql =
    "SELECT id FROM kavren_sample WHERE mime_part_id = ? AND kavren_sample_object_id = ?;";
const char* const select_recipient_ids_sql = "SELECT id FROM smtp_recipient WHERE entry_id = ?;";
const char* const select_mime_parts_sql = "SELECT id, path FROM mime_part WHERE entry_id = ?;";
const char* const select_samples_sql = "SELECT id, kavren_sample_object_id FROM kavren_sample WHERE mime_part_id = ?;";
const char* const select_analyses_sql =
    "SELECT params, kavren_analysis_object_id FROM kavren_analysis WHERE kavren_sample_id = ?;";
const char* const select_urls_sql = "SELECT url, category_mask, legal_url FROM url WHERE entry_id = ?;";
const char* const select_message_filename_sql = "SELECT message_filename FROM entry WHERE id = ?;";
const char* const delete_entry_sql = "DELETE FROM entry WHERE id = ?;";
// NOT INDEXED: through the paging index every row of a status would cost a
// lookup in the table; one pass over the table is several times faster.
const char* const select_stat_sql =
    "SELECT COUNT(*), COALESCE(SUM(message_size), 0) FROM entry NOT INDEXED WHERE status = ?\n;";
const char* const flush_sql = "UPDATE entry set next_access_ts = 0 WHERE status = ?;";
const char* const select_all_entries_sql = "SELECT id, message_filename FROM entry;";

constexpr std::uint64_t default_chunk_limit = 100;

std::string normalized_path(const std::string& path) {
  if (path.empty() || path.back() != '/') return path + "/";
  return path;
}

}  // namespace

metadata_db_t::metadata_db_t(const std::string& path, bool trace, access_t access) : connection_(path, access) {
  if (trace) set_trace(true);
  // The brief query writes its empty strings in double quotes; keep them
  // literals even where the library's default says otherwise.
  sqlite3_db_config(connection_.handle(), SQLITE_DBCONFIG_DQS_DML, 1, nullptr);
  if (access == access_t::read_write) {
    check_integrity();
    check_foreign_keys();
    connection_.execute("PRAGMA foreign_keys=ON;");
    log_ = std::make_unique<write_ahead_log_t>(connection_);
    connection_.execute(schema_sql);
    connection_.execute(paging_index_sql);
  }

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

  select_entry_ = connection_.prepare(select_entry_sql);
  select_sender_ = connection_.prepare(select_sender_sql);
  select_recipient_ids_ = connection_.prepare(select_recipient_ids_sql);
  select_recipient_ = connection_.prepare(select_recipient_sql);
  select_mime_parts_ = connection_.prepare(select_mime_parts_sql);
  select_samples_ = connection_.prepare(select_samples_sql);
  select_analyses_ = connection_.prepare(select_analyses_sql);
  select_urls_ = connection_.prepare(select_urls_sql);

  update_status_ = connection_.prepare(update_status_sql);
  update_attempts_ = connection_.prepare(update_attempts_sql);
  update_next_access_ts_ = connection_.prepare(update_next_access_ts_sql);
  update_message_filename_ = connection_.prepare(update_message_filename_sql);
  update_message_size_ = connection_.prepare(update_message_size_sql);
  delete_recipients_ = connection_.prepare(delete_recipients_sql);
  delete_sender_ = connection_.prepare(delete_sender_sql);

  select_message_filename_ = connection_.prepare(select_message_filename_sql);
  delete_entry_ = connection_.prepare(delete_entry_sql);
  select_stat_ = connection_.prepare(select_stat_sql);
  select_flush_keys_ = connection_.prepare(select_flush_keys_sql);
  flush_ = connection_.prepare(flush_sql);
  select_chunk_ = connection_.prepare(select_chunk_sql);
  select_chunk_brief_ = connection_.prepare(select_chunk_brief_sql);
  select_brief_recipients_ = connection_.prepare(select_brief_recipients_sql);
  select_all_entries_ = connection_.prepare(select_all_entries_sql);
}

metadata_db_t::~metadata_db_t() {
  // The hook points at this object; the connection outlives the body.
  sqlite3_trace_v2(connection_.handle(), 0, nullptr, nullptr);
}

void metadata_db_t::checkpoint_if_due() {
  if (log_) log_->checkpoint_if_due();
}

void metadata_db_t::check_integrity() {
  auto check = connection_.prepare("PRAGMA integrity_check;");
  if (check.step() && check.column_text(0) == "ok") return;
  while (check.step()) {
  }
  throw sqlite::error_t("Integrity check failed");
}

void metadata_db_t::check_foreign_keys() {
  auto check = connection_.prepare("PRAGMA foreign_key_check;");
  if (check.step()) throw sqlite::error_t("Foreign key constraints check failed");
}

void metadata_db_t::set_trace(bool trace) {
  if (trace) {
    sqlite3_trace_v2(connection_.handle(), SQLITE_TRACE_STMT, &metadata_db_t::trace_hook, this);
  } else {
    sqlite3_trace_v2(connection_.handle(), 0, nullptr, nullptr);
  }
}

int metadata_db_t::trace_hook(unsigned type, void* context, void* p, void* x) {
  if (type != SQLITE_TRACE_STMT) return 0;
  if (ov::util::logger::log_level() > ov::util::logger::debug) return 0;
  const auto* self = static_cast<const metadata_db_t*>(context);
  const char* text = static_cast<const char*>(x);
  // A statement is shown with its bound values; a trigger's comment line
  // as SQLite gives it.
  const bool comment = text && text[0] == '-' && text[1] == '-';
  char* expanded = comment ? nullptr : sqlite3_expanded_sql(static_cast<sqlite3_stmt*>(p));
  OV_LOG(debug, self->trace_prefix_ << (expanded ? expanded : (text ? text : "")));
  sqlite3_free(expanded);
  return 0;
}

std::uint64_t metadata_db_t::put_entry(const entry_metadata_t& m) {
  sqlite::transaction_t transaction(connection_);
  {
    auto use = insert_entry_.use();
    insert_entry_.bind_text(1, m.session_id);
    insert_entry_.bind_text(2, m.message_filename);
    insert_entry_.bind_uint64(3, m.message_size);
    insert_entry_.bind_int64(4, m.status);
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
  insert_recipients(id, m.smtp_recipients);
  write_content(id, m.content);
  transaction.commit();
  return static_cast<std::uint64_t>(id);
}

void metadata_db_t::insert_sender(std::int64_t entry_id, const smtp_sender_t& sender) {
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

void metadata_db_t::insert_recipients(std::int64_t entry_id, const std::vector<smtp_recipient_t>& recipients) {
  for (const auto& recipient : recipients) {
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

void metadata_db_t::write_content(std::int64_t entry_id, const entry_content_t& content) {
  for (const auto& part : content.mime_parts) {
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
  for (const auto& url : content.urls) {
    auto use = insert_url_.use();
    insert_url_.bind_int64(1, entry_id);
    insert_url_.bind_text(2, url.url);
    insert_url_.bind_uint64(3, url.category_mask);
    insert_url_.bind_text(4, url.legal_url);
    insert_url_.step();
  }
}

entry_metadata_t metadata_db_t::get_entry(std::int64_t id) {
  // One read transaction: one snapshot of the log for all the statements
  // instead of one each, and all of them see the same entry.
  sqlite::transaction_t transaction(connection_);
  entry_metadata_t m;
  m.id = id;
  std::int64_t sender_id = 0;
  {
    auto use = select_entry_.use();
    select_entry_.bind_int64(1, id);
    if (!select_entry_.step()) throw wire::entry_not_found_t();
    m.session_id = select_entry_.column_optional_text(0);
    m.message_filename = select_entry_.column_text(1);
    m.message_size = select_entry_.column_uint64(2);
    m.status = static_cast<status_t>(select_entry_.column_int64(3));
    m.received_ts = select_entry_.column_uint64(4);
    m.next_access_ts = select_entry_.column_uint64(5);
    m.attempts = select_entry_.column_uint64(6);
    m.smtp_connect.helo = select_entry_.column_optional_text(7);
    m.smtp_connect.address = select_entry_.column_optional_text(8);
    if (!select_entry_.is_null(9)) m.smtp_connect.port = static_cast<std::uint16_t>(select_entry_.column_int64(9));
    m.smtp_connect.proto = select_entry_.column_optional_text(10);
    if (select_entry_.is_null(11)) throw std::runtime_error("Sender not found");
    sender_id = select_entry_.column_int64(11);
  }
  {
    auto use = select_sender_.use();
    select_sender_.bind_int64(1, sender_id);
    if (!select_sender_.step()) throw std::runtime_error("Sender not found");
    m.smtp_sender.sender = select_sender_.column_text(0);
    while (select_sender_.step()) m.smtp_sender.esmtp.push_back(select_sender_.column_text(0));
  }
  std::vector<std::int64_t> recipient_ids;
  {
    auto use = select_recipient_ids_.use();
    select_recipient_ids_.bind_int64(1, id);
    while (select_recipient_ids_.step()) recipient_ids.push_back(select_recipient_ids_.column_int64(0));
  }
  for (const auto recipient_id : recipient_ids) {
    auto use = select_recipient_.use();
    select_recipient_.bind_int64(1, recipient_id);
    if (!select_recipient_.step()) continue;
    smtp_recipient_t recipient;
    recipient.recipient = select_recipient_.column_text(0);
    while (select_recipient_.step()) recipient.esmtp.push_back(select_recipient_.column_text(0));
    m.smtp_recipients.push_back(std::move(recipient));
  }
  read_content(id, m.content);
  transaction.commit();
  return m;
}

void metadata_db_t::read_content(std::int64_t entry_id, entry_content_t& content) {
  std::vector<std::int64_t> part_ids;
  {
    auto use = select_mime_parts_.use();
    select_mime_parts_.bind_int64(1, entry_id);
    while (select_mime_parts_.step()) {
      part_ids.push_back(select_mime_parts_.column_int64(0));
      mime_part_t part;
      part.path = select_mime_parts_.column_text(1);
      content.mime_parts.push_back(std::move(part));
    }
  }
  for (std::size_t i = 0; i < part_ids.size(); ++i) {
    auto& samples = content.mime_parts[i].samples;
    std::vector<std::int64_t> sample_ids;
    {
      auto use = select_samples_.use();
      select_samples_.bind_int64(1, part_ids[i]);
      while (select_samples_.step()) {
        sample_ids.push_back(select_samples_.column_int64(0));
        kavren_sample_t sample;
        sample.id = select_samples_.column_text(1);
        samples.push_back(std::move(sample));
      }
    }
    for (std::size_t j = 0; j < sample_ids.size(); ++j) {
      auto use = select_analyses_.use();
      select_analyses_.bind_int64(1, sample_ids[j]);
      while (select_analyses_.step()) {
        kavren_analysis_t analysis;
        analysis.params = select_analyses_.column_text(0);
        analysis.id = select_analyses_.column_text(1);
        samples[j].analyses.push_back(std::move(analysis));
      }
    }
  }
  auto use = select_urls_.use();
  select_urls_.bind_int64(1, entry_id);
  while (select_urls_.step()) {
    url_t url;
    url.url = select_urls_.column_text(0);
    url.category_mask = select_urls_.column_uint64(1);
    url.legal_url = select_urls_.column_optional_text(2);
    content.urls.push_back(std::move(url));
  }
}

void metadata_db_t::set_column(sqlite::statement_t& stmt, std::int64_t id, std::uint64_t value) {
  auto use = stmt.use();
  stmt.bind_uint64(1, value);
  stmt.bind_int64(2, id);
  stmt.step();
}

std::string metadata_db_t::update_entry(std::int64_t id, const entry_metadata_update_t& update) {
  return update_existing_entry(id, update).value_or(std::string());
}

boost::optional<std::string> metadata_db_t::update_existing_entry(std::int64_t id,
                                                                  const entry_metadata_update_t& update) {
  sqlite::transaction_t transaction(connection_);
  // An unknown id changes nothing: without this the child rows of the
  // update would fail on the foreign keys instead.
  boost::optional<std::string> current;
  {
    auto use = select_message_filename_.use();
    select_message_filename_.bind_int64(1, id);
    if (select_message_filename_.step()) current = select_message_filename_.column_text(0);
  }
  if (!current) return boost::none;

  std::string previous;
  if (update.message_filename) {
    previous = *current;
    auto use = update_message_filename_.use();
    update_message_filename_.bind_text(1, *update.message_filename);
    update_message_filename_.bind_int64(2, id);
    update_message_filename_.step();
  }
  if (update.message_size) set_column(update_message_size_, id, *update.message_size);
  if (!update.smtp_recipients.empty()) {
    {
      auto use = delete_recipients_.use();
      delete_recipients_.bind_int64(1, id);
      delete_recipients_.step();
    }
    insert_recipients(id, update.smtp_recipients);
  }
  if (update.attempts) set_column(update_attempts_, id, *update.attempts);
  if (update.next_access_ts) set_column(update_next_access_ts_, id, *update.next_access_ts);
  if (update.status) set_column(update_status_, id, static_cast<std::uint64_t>(*update.status));
  if (update.smtp_sender) {
    {
      auto use = delete_sender_.use();
      delete_sender_.bind_int64(1, id);
      delete_sender_.step();
    }
    insert_sender(id, *update.smtp_sender);
  }
  write_content(id, update.content);
  transaction.commit();
  return previous;
}

boost::optional<std::string> metadata_db_t::remove_entry(std::int64_t id) {
  // One transaction: the name answered is the one removed.
  sqlite::transaction_t transaction(connection_);
  boost::optional<std::string> name;
  {
    auto use = select_message_filename_.use();
    select_message_filename_.bind_int64(1, id);
    if (select_message_filename_.step()) name = select_message_filename_.column_text(0);
  }
  if (!name) return boost::none;
  {
    auto use = delete_entry_.use();
    delete_entry_.bind_int64(1, id);
    delete_entry_.step();
  }
  transaction.commit();
  return name;
}

queue_stats_t metadata_db_t::get_queue_stat() {
  queue_stats_t stats;
  for (int status = smtp_fresh; status <= bcc_accepted; ++status) {
    auto use = select_stat_.use();
    select_stat_.bind_int64(1, status);
    if (!select_stat_.step()) continue;
    stats.stats[status].total_messages = select_stat_.column_uint64(0);
    stats.stats[status].total_bytes = select_stat_.column_uint64(1);
  }
  return stats;
}

std::vector<queue_key_t> metadata_db_t::flush_queue(status_t status) {
  // One transaction, so that the keys reported are exactly the rows changed.
  sqlite::transaction_t transaction(connection_);
  std::vector<queue_key_t> keys;
  {
    auto use = select_flush_keys_.use();
    select_flush_keys_.bind_int64(1, status);
    while (select_flush_keys_.step()) {
      queue_key_t key;
      key.entry_id = select_flush_keys_.column_int64(0);
      key.next_access_ts = select_flush_keys_.column_uint64(1);
      keys.push_back(key);
    }
  }
  {
    auto use = flush_.use();
    flush_.bind_int64(1, status);
    flush_.step();
  }
  transaction.commit();
  for (auto& key : keys) key.next_access_ts = 0;
  return keys;
}

std::vector<queue_key_t> metadata_db_t::get_queue_chunk(const queue_chunk_request_t& request) {
  std::vector<queue_key_t> keys;
  auto use = select_chunk_.use();
  select_chunk_.bind_int64(1, request.entry_id);
  select_chunk_.bind_uint64(2, request.next_access_ts);
  select_chunk_.bind_int64(3, request.status);
  select_chunk_.bind_uint64(4, request.limit ? request.limit : default_chunk_limit);
  while (select_chunk_.step()) {
    queue_key_t key;
    key.entry_id = select_chunk_.column_int64(0);
    key.next_access_ts = select_chunk_.column_uint64(1);
    keys.push_back(key);
  }
  return keys;
}

std::vector<entry_brief_t> metadata_db_t::get_queue_chunk_brief(const queue_chunk_request_t& request) {
  // A recipient query per entry: in one read transaction they cost a lookup
  // each, not a snapshot each.
  sqlite::transaction_t transaction(connection_);
  std::vector<entry_brief_t> briefs;
  {
    auto use = select_chunk_brief_.use();
    select_chunk_brief_.bind_int64(1, request.entry_id);
    select_chunk_brief_.bind_uint64(2, request.next_access_ts);
    select_chunk_brief_.bind_int64(3, request.status);
    select_chunk_brief_.bind_uint64(4, request.limit ? request.limit : default_chunk_limit);
    while (select_chunk_brief_.step()) {
      entry_brief_t brief;
      brief.id = select_chunk_brief_.column_int64(0);
      brief.next_access_ts = select_chunk_brief_.column_uint64(1);
      brief.attempts = select_chunk_brief_.column_uint64(2);
      brief.session_id = select_chunk_brief_.column_text(3);
      brief.sender = select_chunk_brief_.column_text(4);
      briefs.push_back(std::move(brief));
    }
  }
  for (auto& brief : briefs) {
    auto use = select_brief_recipients_.use();
    select_brief_recipients_.bind_int64(1, brief.id);
    while (select_brief_recipients_.step()) brief.recipients.push_back(select_brief_recipients_.column_text(0));
  }
  transaction.commit();
  return briefs;
}

namespace {

bool is_busy(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const sqlite::error_t& e) {
    return e.busy();
  } catch (...) {
    return false;
  }
}

}  // namespace

std::vector<std::exception_ptr> metadata_db_t::run_group(const std::vector<std::function<void()>>& ops) {
  std::vector<std::exception_ptr> errors(ops.size());
  // Every operation after a busy one would wait the busy limit again: they
  // all fail with it instead.
  auto alone = [&](std::size_t i) {
    if (i > 0 && is_busy(errors[i - 1])) {
      errors[i] = errors[i - 1];
      return;
    }
    try {
      sqlite::transaction_t transaction(connection_);
      ops[i]();
      transaction.commit();
      errors[i] = nullptr;
    } catch (...) {
      errors[i] = std::current_exception();
    }
  };
  if (ops.size() == 1) {
    alone(0);
    return errors;
  }
  std::exception_ptr whole;
  try {
    sqlite::transaction_t transaction(connection_);
    for (std::size_t i = 0; i < ops.size(); ++i) {
      connection_.execute("SAVEPOINT op;");
      try {
        ops[i]();
        connection_.execute("RELEASE op;");
      } catch (...) {
        errors[i] = std::current_exception();
        if (is_busy(errors[i])) throw;
        // Fails when SQLite rolled the whole transaction back: the group
        // is then retried below.
        connection_.execute("ROLLBACK TO op; RELEASE op;");
      }
    }
    transaction.commit();
    return errors;
  } catch (const sqlite::outcome_unknown_t&) {
    whole = std::current_exception();
  } catch (const sqlite::error_t& e) {
    if (e.busy()) whole = std::current_exception();
  } catch (...) {
  }
  if (whole) {
    // Busy: the group is rolled back and would only wait again. Unknown:
    // running any of it again could store it twice. An operation that failed
    // in its savepoint keeps its own error: it left nothing.
    for (auto& error : errors) {
      if (!error) error = whole;
    }
    return errors;
  }
  // Nothing of the group is stored; each operation still gets its own
  // outcome.
  for (std::size_t i = 0; i < ops.size(); ++i) alone(i);
  return errors;
}

std::vector<health_check_entry_t> metadata_db_t::list_entries() {
  std::vector<health_check_entry_t> entries;
  auto use = select_all_entries_.use();
  while (select_all_entries_.step()) {
    health_check_entry_t entry;
    entry.id = select_all_entries_.column_int64(0);
    entry.message_filename = select_all_entries_.column_text(1);
    entries.push_back(std::move(entry));
  }
  return entries;
}

void metadata_db_t::check_health(std::promise<std::vector<health_check_entry_t>>& records,
                                 std::future<std::vector<std::int64_t>>& orphan_ids, std::promise<void>& done,
                                 bool fix) {
  std::vector<health_check_entry_t> listed;
  if (auto error = mq::util::thrown_by([&] { listed = list_entries(); })) {
    records.set_exception(std::move(error));
  } else {
    records.set_value(std::move(listed));
  }
  std::vector<std::int64_t> ids;
  try {
    ids = orphan_ids.get();
  } catch (...) {
    // The directory half reports its own failure.
    return;
  }
  auto error = mq::util::thrown_by([&] {
    if (fix) {
      for (const auto id : ids) remove_entry(id);
    }
  });
  if (error) {
    done.set_exception(std::move(error));
  } else {
    done.set_value();
  }
}

}  // namespace mq::store
