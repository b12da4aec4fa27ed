#pragma once

// Helpers of the metadata database tests: plain SQL against the file
// through SQLite's own interface (independent of the layer under test),
// sample entries, a log capture and a wait for another thread.

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/optional/optional_io.hpp>

#include "ov/logger.h"
#include "store/entry.h"
#include "support/daemon_process.h"

namespace mq::store::db_test {

using temp_dir_t = mq::test::temp_dir_t;

using rows_t = std::vector<std::vector<std::string>>;

// Runs one or more statements on a connection of its own; every value as
// text, NULL as "NULL". Foreign keys stay at SQLite's default (off) unless
// asked for.
inline rows_t sql(const std::string& db_path, const std::string& text, bool foreign_keys = false) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : "open failed";
    sqlite3_close(db);
    throw std::runtime_error(message);
  }
  rows_t rows;
  std::string error;
  if (foreign_keys) sqlite3_exec(db, "PRAGMA foreign_keys=ON;", nullptr, nullptr, nullptr);
  const char* rest = text.c_str();
  while (*rest && error.empty()) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, rest, -1, &stmt, &tail) != SQLITE_OK) {
      error = sqlite3_errmsg(db);
      break;
    }
    if (!stmt) break;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        if (sqlite3_column_type(stmt, i) == SQLITE_NULL) {
          row.push_back("NULL");
        } else {
          row.push_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)));
        }
      }
      rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) error = sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    rest = tail;
  }
  sqlite3_close(db);
  if (!error.empty()) throw std::runtime_error(error + " in: " + text);
  return rows;
}

// The single value of a one-row, one-column query.
inline std::string sql_value(const std::string& db_path, const std::string& text) {
  auto rows = sql(db_path, text);
  if (rows.size() != 1 || rows[0].size() != 1) throw std::runtime_error("not a single value: " + text);
  return rows[0][0];
}

inline std::int64_t sql_count(const std::string& db_path, const std::string& table) {
  return std::stoll(sql_value(db_path, "SELECT COUNT(*) FROM " + table + ";"));
}

// A complete entry with every member set.
inline entry_metadata_t full_entry(const std::string& tag) {
  entry_metadata_t m;
  m.session_id = "sid-" + tag;
  m.message_filename = "file-" + tag + ".eml";
  m.message_size = 1234;
  m.status = smtp_accepted;
  m.received_ts = 1000;
  m.next_access_ts = 2000;
  m.attempts = 3;
  m.smtp_connect.helo = "helo." + tag;
  m.smtp_connect.address = "192.0.2.1";
  m.smtp_connect.port = 2525;
  m.smtp_connect.proto = "ESMTP";
  m.smtp_sender.sender = "sender-" + tag + "@example.org";
  m.smtp_sender.esmtp = {"SIZE=1234", "BODY=8BITMIME"};
  m.smtp_recipients = {{"a-" + tag + "@example.org", {"NOTIFY=NEVER"}},
                       {"b-" + tag + "@example.org", {}},
                       {"c-" + tag + "@example.org", {"ORCPT=rfc822;c@example.org", "NOTIFY=SUCCESS"}}};
  mime_part_t part;
  part.path = "1/2/";
  part.samples = {{"sample-" + tag, {{"params-1", "analysis-1"}, {"params-2", "analysis-2"}}}};
  m.content.mime_parts = {part};
  m.content.urls = {{"http://example.org/" + tag, 5, std::string("http://legal.example.org/")},
                    {"http://example.com/" + tag, 0, boost::none}};
  return m;
}

// A bare entry: no session id, no connection data, a sender only.
inline entry_metadata_t bare_entry(std::uint64_t next_access_ts, status_t status = smtp_fresh) {
  entry_metadata_t m;
  m.message_filename = "bare.eml";
  m.status = status;
  m.next_access_ts = next_access_ts;
  m.smtp_sender.sender = "s@example.org";
  return m;
}

// Collects log lines from every thread while alive; restores the facade.
class log_capture_t {
 public:
  explicit log_capture_t(std::int32_t level = ov::util::logger::debug) {
    old_level_ = ov::util::logger::set_log_level(level);
    old_function_ = ov::util::logger::set_log_function([this](std::int32_t lvl, const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(lvl, text);
    });
  }
  ~log_capture_t() {
    ov::util::logger::set_log_function(old_function_);
    ov::util::logger::set_log_level(old_level_);
  }

  std::vector<std::pair<std::int32_t, std::string>> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  bool has(std::int32_t level, const std::string& text) {
    for (const auto& line : lines()) {
      if (line.first == level && line.second == text) return true;
    }
    return false;
  }

  std::size_t count_prefixed(const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& line : lines()) {
      if (line.second.compare(0, prefix.size(), prefix) == 0) ++n;
    }
    return n;
  }

  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  std::int32_t old_level_;
  ov::util::logger::log_function_t old_function_;
  std::mutex mutex_;
  std::vector<std::pair<std::int32_t, std::string>> lines_;
};

// Waits for a condition another thread makes true: checks it again every
// millisecond for up to a minute, so a loaded machine only makes it slower.
template <class P>
bool eventually(P predicate) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  std::mutex m;
  std::condition_variable never;
  std::unique_lock<std::mutex> lock(m);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    never.wait_for(lock, std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace mq::store::db_test
