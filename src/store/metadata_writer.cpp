#include "store/metadata_writer.h"

#include <sqlite3.h>

#include <string>
#include <utility>

#include "ov/logger.h"

namespace mq::store {

namespace {

// The statements; their texts are fixed.
const char* const update_status_sql = "UPDATE entry SET status = ? WHERE id = ?;";
const char* const update_attempts_sql = "UPDATE entry SET attempts = ? WHERE id = ?;";
const char* const update_next_access_ts_sql = "UPDATE entry SET next_access_ts = ? WHERE id = ?;";
const char* const update_message_filename_sql = "UPDATE entry SET message_filename = ? WHERE id = ?;";
const char* const update_message_size_sql = "UPDATE entry SET message_size = ? WHERE id = ?;";
const char* const delete_recipients_sql = "DELETE FROM smtp_recipient WHERE entry_id = ?;";
const char* const delete_sender_sql = "DELETE FROM smtp_sender WHERE entry_id = ?;";
// Not the hidden entry of a put still being stored (staged_status).
const char* const select_message_filename_sql = "SELECT message_filename FROM entry WHERE id = ? AND status != -1;";
const char* const show_put_sql = "UPDATE entry SET status = ? WHERE id = ? AND status = -1;";
const char* const drop_unshown_sql = "DELETE FROM entry WHERE status = -1;";
const char* const delete_entry_sql = "DELETE FROM entry WHERE id = ?;";
const char* const select_flush_keys_sql = R"sql(SELECT id, next_access_ts FROM entry
WHERE status = ?
AND   next_access_ts != 0
;
)sql";
const char* const flush_sql = "UPDATE entry set next_access_ts = 0 WHERE status = ?;";
const char* const select_entries_after_sql = "SELECT id, message_filename FROM entry WHERE id > ? ORDER BY id LIMIT ?;";

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

metadata_writer_t::metadata_writer_t(const std::string& path, bool trace) : db_(path, trace), rows_(connection()) {
  update_status_ = connection().prepare(update_status_sql);
  update_attempts_ = connection().prepare(update_attempts_sql);
  update_next_access_ts_ = connection().prepare(update_next_access_ts_sql);
  update_message_filename_ = connection().prepare(update_message_filename_sql);
  update_message_size_ = connection().prepare(update_message_size_sql);
  delete_recipients_ = connection().prepare(delete_recipients_sql);
  delete_sender_ = connection().prepare(delete_sender_sql);
  select_message_filename_ = connection().prepare(select_message_filename_sql);
  delete_entry_ = connection().prepare(delete_entry_sql);
  select_flush_keys_ = connection().prepare(select_flush_keys_sql);
  flush_ = connection().prepare(flush_sql);
  select_entries_after_ = connection().prepare(select_entries_after_sql);
  show_put_ = connection().prepare(show_put_sql);
  // Pieces of puts that the last run never finished, never answered.
  connection().execute(drop_unshown_sql);
  if (const int dropped = sqlite3_changes(connection().handle()); dropped > 0)
    OV_LOG(warning, "Queue metadata db: removed " << dropped << " unfinished puts");
}

std::uint64_t metadata_writer_t::put_entry(const entry_metadata_t& m) {
  sqlite::transaction_t transaction(connection());
  const std::int64_t id = rows_.insert_entry(m, m.status);
  rows_.insert_recipients(id, m.smtp_recipients, 0, m.smtp_recipients.size());
  rows_.write_content(id, m.content);
  transaction.commit();
  return static_cast<std::uint64_t>(id);
}

std::vector<metadata_writer_t::put_piece_t> metadata_writer_t::pieces_of(const entry_metadata_t& m) {
  std::vector<put_piece_t> pieces;
  put_piece_t piece;
  std::size_t rows = 0, total = 0;
  const auto add = [&](std::size_t n) {
    if (rows > 0 && rows + n > piece_rows) {
      pieces.push_back(piece);
      piece = put_piece_t{piece.recipients_to, piece.recipients_to, piece.parts_to,
                          piece.parts_to,      piece.urls_to,       piece.urls_to};
      rows = 0;
    }
    rows += n;
    total += n;
  };
  for (const auto& r : m.smtp_recipients) add(1 + r.esmtp.size()), ++piece.recipients_to;
  for (const auto& p : m.content.mime_parts) {
    std::size_t n = 1 + p.samples.size();
    for (const auto& sample : p.samples) n += sample.analyses.size();
    add(n), ++piece.parts_to;
  }
  for (std::size_t i = 0; i < m.content.urls.size(); ++i) add(1), ++piece.urls_to;
  if (total <= piece_rows) return {};
  pieces.push_back(piece);
  return pieces;
}

std::int64_t metadata_writer_t::begin_put(const entry_metadata_t& m) {
  sqlite::transaction_t transaction(connection());
  const std::int64_t id = rows_.insert_entry(m, staged_status);
  transaction.commit();
  return id;
}

void metadata_writer_t::put_piece(std::int64_t id, const entry_metadata_t& m, const put_piece_t& piece) {
  sqlite::transaction_t transaction(connection());
  rows_.insert_recipients(id, m.smtp_recipients, piece.recipients_from, piece.recipients_to);
  rows_.write_parts(id, m.content.mime_parts, piece.parts_from, piece.parts_to);
  rows_.write_urls(id, m.content.urls, piece.urls_from, piece.urls_to);
  transaction.commit();
}

std::uint64_t metadata_writer_t::end_put(std::int64_t id, status_t status) {
  sqlite::transaction_t transaction(connection());
  {
    auto use = show_put_.use();
    show_put_.bind_int64(1, status);
    show_put_.bind_int64(2, id);
    show_put_.step();
  }
  if (sqlite3_changes(connection().handle()) != 1)
    throw sqlite::error_t("Queue metadata db: the stored pieces of entry " + std::to_string(id) + " are gone");
  transaction.commit();
  return static_cast<std::uint64_t>(id);
}

void metadata_writer_t::drop_put(std::int64_t id) {
  sqlite::transaction_t transaction(connection());
  auto use = delete_entry_.use();
  delete_entry_.bind_int64(1, id);
  delete_entry_.step();
  transaction.commit();
}

boost::optional<std::string> metadata_writer_t::message_filename(std::int64_t id) {
  auto use = select_message_filename_.use();
  select_message_filename_.bind_int64(1, id);
  if (!select_message_filename_.step()) return boost::none;
  return select_message_filename_.column_text(0);
}

void metadata_writer_t::set_column(sqlite::statement_t& stmt, std::int64_t id, std::uint64_t value) {
  auto use = stmt.use();
  stmt.bind_uint64(1, value);
  stmt.bind_int64(2, id);
  stmt.step();
}

std::string metadata_writer_t::update_entry(std::int64_t id, const entry_metadata_update_t& update) {
  return update_existing_entry(id, update).value_or(std::string());
}

boost::optional<std::string> metadata_writer_t::update_existing_entry(std::int64_t id,
                                                                      const entry_metadata_update_t& update) {
  sqlite::transaction_t transaction(connection());
  // An unknown id changes nothing: without this the child rows of the
  // update would fail on the foreign keys instead.
  const boost::optional<std::string> current = message_filename(id);
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
    rows_.insert_recipients(id, update.smtp_recipients, 0, update.smtp_recipients.size());
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
    rows_.insert_sender(id, *update.smtp_sender);
  }
  rows_.write_content(id, update.content);
  transaction.commit();
  return previous;
}

boost::optional<std::string> metadata_writer_t::remove_entry(std::int64_t id) {
  // One transaction: the name answered is the one removed.
  sqlite::transaction_t transaction(connection());
  boost::optional<std::string> name = message_filename(id);
  if (!name) return boost::none;
  {
    auto use = delete_entry_.use();
    delete_entry_.bind_int64(1, id);
    delete_entry_.step();
  }
  transaction.commit();
  return name;
}

std::vector<queue_key_t> metadata_writer_t::flush_queue(status_t status) {
  // One transaction, so that the keys reported are exactly the rows changed.
  sqlite::transaction_t transaction(connection());
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

std::vector<std::exception_ptr> metadata_writer_t::run_group(const std::vector<std::function<void()>>& ops) {
  std::vector<std::exception_ptr> errors(ops.size());
  // Every operation after a busy one would wait the busy limit again: they
  // all fail with it instead.
  auto alone = [&](std::size_t i) {
    if (i > 0 && is_busy(errors[i - 1])) {
      errors[i] = errors[i - 1];
      return;
    }
    try {
      sqlite::transaction_t transaction(connection());
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
    sqlite::transaction_t transaction(connection());
    for (std::size_t i = 0; i < ops.size(); ++i) {
      connection().run("SAVEPOINT op;");
      try {
        ops[i]();
        connection().run("RELEASE op;");
      } catch (...) {
        errors[i] = std::current_exception();
        if (is_busy(errors[i])) throw;
        // Fails when SQLite rolled the whole transaction back: the group
        // is then retried below.
        connection().run("ROLLBACK TO op;");
        connection().run("RELEASE op;");
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

std::vector<health_check_entry_t> metadata_writer_t::list_entries(std::int64_t after, std::size_t limit) {
  std::vector<health_check_entry_t> entries;
  entries.reserve(limit);
  auto use = select_entries_after_.use();
  select_entries_after_.bind_int64(1, after);
  select_entries_after_.bind_uint64(2, limit);
  while (select_entries_after_.step()) {
    health_check_entry_t entry;
    entry.id = select_entries_after_.column_int64(0);
    entry.message_filename = select_entries_after_.column_text(1);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::size_t metadata_writer_t::settle_orphan_records(const std::vector<std::int64_t>& ids,
                                                     const std::function<bool(const std::string&)>& present, bool fix) {
  std::size_t orphans = 0;
  for (const auto id : ids) {
    const boost::optional<std::string> name = message_filename(id);
    // Removed meanwhile, or its file (perhaps a new one) is there: no orphan.
    // No file comes back once gone: every new file has a new name.
    if (!name || present(*name)) continue;
    ++orphans;
    if (fix) remove_entry(id);
  }
  return orphans;
}

}  // namespace mq::store
