#include "store/metadata_connection.h"

#include <sqlite3.h>

#include "ov/logger.h"

namespace mq::store {

namespace {

// The file format; the text is fixed.
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

}  // namespace

metadata_connection_t::metadata_connection_t(const std::string& path, bool trace, access_t access)
    : connection_(path, access) {
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
}

metadata_connection_t::~metadata_connection_t() {
  // The hook points at this object; the connection outlives the body.
  sqlite3_trace_v2(connection_.handle(), 0, nullptr, nullptr);
}

void metadata_connection_t::checkpoint_if_due() {
  if (log_) log_->checkpoint_if_due();
}

void metadata_connection_t::check_integrity() {
  auto check = connection_.prepare("PRAGMA integrity_check;");
  if (check.step() && check.column_text(0) == "ok") return;
  while (check.step()) {
  }
  throw sqlite::error_t("Integrity check failed");
}

void metadata_connection_t::check_foreign_keys() {
  auto check = connection_.prepare("PRAGMA foreign_key_check;");
  if (check.step()) throw sqlite::error_t("Foreign key constraints check failed");
}

void metadata_connection_t::set_trace(bool trace) {
  if (trace) {
    sqlite3_trace_v2(connection_.handle(), SQLITE_TRACE_STMT, &metadata_connection_t::trace_hook, this);
  } else {
    sqlite3_trace_v2(connection_.handle(), 0, nullptr, nullptr);
  }
}

int metadata_connection_t::trace_hook(unsigned type, void* context, void* p, void* x) {
  if (type != SQLITE_TRACE_STMT) return 0;
  if (ov::util::logger::log_level() > ov::util::logger::debug) return 0;
  const auto* self = static_cast<const metadata_connection_t*>(context);
  const char* text = static_cast<const char*>(x);
  // A statement is shown with its bound values; a trigger's comment line
  // as SQLite gives it.
  const bool comment = text && text[0] == '-' && text[1] == '-';
  char* expanded = comment ? nullptr : sqlite3_expanded_sql(static_cast<sqlite3_stmt*>(p));
  OV_LOG(debug, self->trace_prefix_ << (expanded ? expanded : (text ? text : "")));
  sqlite3_free(expanded);
  return 0;
}

}  // namespace mq::store
