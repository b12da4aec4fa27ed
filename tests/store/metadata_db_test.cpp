#include "store/metadata_db.h"

#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "db_test_support.h"

namespace mq::store {
namespace {

using db_test::rows_t;
using db_test::sql;
using db_test::sql_count;
using db_test::sql_value;
using db_test::temp_dir_t;

constexpr std::uint64_t two_63 = std::uint64_t(1) << 63;

std::string error_text_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

// Every member, compared one by one so that a failure names it.
void expect_same(const entry_metadata_t& a, const entry_metadata_t& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.session_id, b.session_id);
  EXPECT_EQ(a.message_filename, b.message_filename);
  EXPECT_EQ(a.message_size, b.message_size);
  EXPECT_EQ(a.status, b.status);
  EXPECT_EQ(a.received_ts, b.received_ts);
  EXPECT_EQ(a.next_access_ts, b.next_access_ts);
  EXPECT_EQ(a.attempts, b.attempts);
  EXPECT_EQ(a.smtp_connect.helo, b.smtp_connect.helo);
  EXPECT_EQ(a.smtp_connect.address, b.smtp_connect.address);
  EXPECT_EQ(a.smtp_connect.port, b.smtp_connect.port);
  EXPECT_EQ(a.smtp_connect.proto, b.smtp_connect.proto);
  EXPECT_EQ(a.smtp_sender.sender, b.smtp_sender.sender);
  EXPECT_EQ(a.smtp_sender.esmtp, b.smtp_sender.esmtp);
  ASSERT_EQ(a.smtp_recipients.size(), b.smtp_recipients.size());
  for (std::size_t i = 0; i < a.smtp_recipients.size(); ++i) {
    EXPECT_EQ(a.smtp_recipients[i].recipient, b.smtp_recipients[i].recipient);
    EXPECT_EQ(a.smtp_recipients[i].esmtp, b.smtp_recipients[i].esmtp);
  }
  ASSERT_EQ(a.content.mime_parts.size(), b.content.mime_parts.size());
  for (std::size_t i = 0; i < a.content.mime_parts.size(); ++i) {
    const auto& pa = a.content.mime_parts[i];
    const auto& pb = b.content.mime_parts[i];
    EXPECT_EQ(pa.path, pb.path);
    EXPECT_EQ(pa.scan_report, pb.scan_report);
    ASSERT_EQ(pa.samples.size(), pb.samples.size());
    for (std::size_t j = 0; j < pa.samples.size(); ++j) {
      EXPECT_EQ(pa.samples[j].id, pb.samples[j].id);
      ASSERT_EQ(pa.samples[j].analyses.size(), pb.samples[j].analyses.size());
      for (std::size_t k = 0; k < pa.samples[j].analyses.size(); ++k) {
        EXPECT_EQ(pa.samples[j].analyses[k].params, pb.samples[j].analyses[k].params);
        EXPECT_EQ(pa.samples[j].analyses[k].id, pb.samples[j].analyses[k].id);
      }
    }
  }
  ASSERT_EQ(a.content.urls.size(), b.content.urls.size());
  for (std::size_t i = 0; i < a.content.urls.size(); ++i) {
    EXPECT_EQ(a.content.urls[i].url, b.content.urls[i].url);
    EXPECT_EQ(a.content.urls[i].category_mask, b.content.urls[i].category_mask);
    EXPECT_EQ(a.content.urls[i].legal_url, b.content.urls[i].legal_url);
  }
}

class metadata_db_test : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("queue.db");
    db_ = std::make_unique<metadata_db_t>(path_, false);
  }

  std::int64_t put(const entry_metadata_t& m) { return static_cast<std::int64_t>(db_->put_entry(m)); }

  // Rows of every child table that belong to the entry.
  std::map<std::string, std::int64_t> child_rows(std::int64_t id) {
    const std::string e = std::to_string(id);
    std::map<std::string, std::int64_t> n;
    auto count = [&](const std::string& q) { return std::stoll(sql_value(path_, q)); };
    n["smtp_connect"] = count("SELECT COUNT(*) FROM smtp_connect WHERE entry_id = " + e + ";");
    n["smtp_sender"] = count("SELECT COUNT(*) FROM smtp_sender WHERE entry_id = " + e + ";");
    n["smtp_sender_esmtp"] = count(
        "SELECT COUNT(*) FROM smtp_sender_esmtp x JOIN smtp_sender s ON x.sender_id = s.id WHERE s.entry_id = " + e +
        ";");
    n["smtp_recipient"] = count("SELECT COUNT(*) FROM smtp_recipient WHERE entry_id = " + e + ";");
    n["smtp_recipient_esmtp"] = count(
        "SELECT COUNT(*) FROM smtp_recipient_esmtp x JOIN smtp_recipient r ON x.recipient_id = r.id "
        "WHERE r.entry_id = " +
        e + ";");
    n["mime_part"] = count("SELECT COUNT(*) FROM mime_part WHERE entry_id = " + e + ";");
    n["kavren_sample"] = count(
        "SELECT COUNT(*) FROM kavren_sample k JOIN mime_part m ON k.mime_part_id = m.id WHERE m.entry_id = " + e + ";");
    n["kavren_analysis"] = count(
        "SELECT COUNT(*) FROM kavren_analysis a JOIN kavren_sample k ON a.kavren_sample_id = k.id "
        "JOIN mime_part m ON k.mime_part_id = m.id WHERE m.entry_id = " +
        e + ";");
    n["url"] = count("SELECT COUNT(*) FROM url WHERE entry_id = " + e + ";");
    return n;
  }

  temp_dir_t dir_;
  std::string path_;
  std::unique_ptr<metadata_db_t> db_;
};

// ---------------------------------------------------------------------------
// File format

TEST_F(metadata_db_test, fresh_file_has_the_ten_tables_four_named_indexes_and_the_paging_index) {
  EXPECT_EQ(sql(path_, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name;"),
            (rows_t{{"entry"},
                    {"kavren_analysis"},
                    {"kavren_sample"},
                    {"mime_part"},
                    {"smtp_connect"},
                    {"smtp_recipient"},
                    {"smtp_recipient_esmtp"},
                    {"smtp_sender"},
                    {"smtp_sender_esmtp"},
                    {"sqlite_sequence"},
                    {"url"}}));
  EXPECT_EQ(
      sql(path_, "SELECT name, tbl_name FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL ORDER BY name;"),
      (rows_t{{"entry_by_status_next_access_ts_index", "entry"},
              {"kavren_analysis_by_kavren_sample_index", "kavren_analysis"},
              {"smtp_recipient_by_entry_index", "smtp_recipient"},
              {"smtp_recipient_esmtp_by_smtp_recipient_index", "smtp_recipient_esmtp"},
              {"smtp_sender_esmtp_by_smtp_sender_index", "smtp_sender_esmtp"}}));
  // Column order of the entry table is part of the file format.
  EXPECT_EQ(sql(path_, "SELECT name, type, \"notnull\" FROM pragma_table_info('entry') ORDER BY cid;"),
            (rows_t{{"id", "INTEGER", "0"},
                    {"session_id_string", "TEXT", "0"},
                    {"message_filename", "TEXT", "1"},
                    {"message_size", "INTEGER", "1"},
                    {"received_ts", "INTEGER", "1"},
                    {"next_access_ts", "INTEGER", "1"},
                    {"status", "INTEGER", "1"},
                    {"attempts", "INTEGER", "1"}}));
  // Every child goes with its parent.
  EXPECT_EQ(sql(path_,
                "SELECT m.name, f.\"table\", f.on_delete FROM sqlite_master m, pragma_foreign_key_list(m.name) f "
                "ORDER BY m.name;"),
            (rows_t{{"kavren_analysis", "kavren_sample", "CASCADE"},
                    {"kavren_sample", "mime_part", "CASCADE"},
                    {"mime_part", "entry", "CASCADE"},
                    {"smtp_connect", "entry", "CASCADE"},
                    {"smtp_recipient", "entry", "CASCADE"},
                    {"smtp_recipient_esmtp", "smtp_recipient", "CASCADE"},
                    {"smtp_sender", "entry", "CASCADE"},
                    {"smtp_sender_esmtp", "smtp_sender", "CASCADE"},
                    {"url", "entry", "CASCADE"}}));
}

TEST_F(metadata_db_test, reopening_keeps_schema_and_data) {
  const auto schema = sql(path_, "SELECT type, name, sql FROM sqlite_master ORDER BY name;");
  const auto id = put(db_test::full_entry("x"));
  db_.reset();
  db_ = std::make_unique<metadata_db_t>(path_, false);
  EXPECT_EQ(sql(path_, "SELECT type, name, sql FROM sqlite_master ORDER BY name;"), schema);
  EXPECT_EQ(db_->get_entry(id).session_id, std::string("sid-x"));
}

TEST_F(metadata_db_test, statements_are_prepared_once_and_left_reset_after_each_use) {
  sqlite3* handle = db_->connection().handle();
  auto statements = [&] {
    std::vector<sqlite3_stmt*> all;
    for (sqlite3_stmt* s = sqlite3_next_stmt(handle, nullptr); s; s = sqlite3_next_stmt(handle, s)) all.push_back(s);
    return all;
  };
  const auto prepared = statements();
  EXPECT_GE(prepared.size(), 35u);
  for (int i = 0; i < 3; ++i) {
    const auto id = put(db_test::full_entry(std::to_string(i)));
    db_->get_entry(id);
    entry_metadata_update_t u;
    u.attempts = 1;
    db_->update_entry(id, u);
    db_->get_queue_chunk_brief(queue_chunk_request_t{});
  }
  EXPECT_EQ(statements(), prepared);
  for (auto* s : prepared) {
    // A statement left mid-way would keep a read lock on the file.
    EXPECT_EQ(sqlite3_stmt_busy(s), 0) << sqlite3_sql(s);
    // Values left bound would leak into the next use.
    char* expanded = sqlite3_expanded_sql(s);
    ASSERT_NE(expanded, nullptr);
    const std::string text = expanded;
    sqlite3_free(expanded);
    for (const char* value : {"example.", "file-", "sid-", "sample-", "params-"}) {
      EXPECT_EQ(text.find(value), std::string::npos) << text;
    }
    if (std::string(sqlite3_sql(s)).rfind("INSERT INTO entry(", 0) == 0) {
      EXPECT_EQ(sqlite3_stmt_status(s, SQLITE_STMTSTATUS_RUN, 0), 3);
    }
  }
}

// ---------------------------------------------------------------------------
// Put and get

TEST_F(metadata_db_test, full_entry_round_trips) {
  auto m = db_test::full_entry("a");
  const auto id = put(m);
  EXPECT_GT(id, 0);
  m.id = id;
  m.content.mime_parts[0].path = "1/2/";
  // URLs come back ordered by their text.
  std::swap(m.content.urls[0], m.content.urls[1]);
  expect_same(db_->get_entry(id), m);

  // Stored as the rows the file format describes.
  EXPECT_EQ(sql(path_,
                "SELECT session_id_string, message_filename, message_size, received_ts, next_access_ts, "
                "status, attempts FROM entry;"),
            (rows_t{{"sid-a", "file-a.eml", "1234", "1000", "2000", "1", "3"}}));
  EXPECT_EQ(sql(path_, "SELECT entry_id, helo, address, port, proto FROM smtp_connect;"),
            (rows_t{{std::to_string(id), "helo.a", "192.0.2.1", "2525", "ESMTP"}}));
  EXPECT_EQ(sql(path_, "SELECT esmtp FROM smtp_sender_esmtp ORDER BY id;"), (rows_t{{"SIZE=1234"}, {"BODY=8BITMIME"}}));
  EXPECT_EQ(sql(path_, "SELECT scan_report, path FROM mime_part;"), (rows_t{{"NULL", "1/2/"}}));
  EXPECT_EQ(sql(path_, "SELECT typeof(params), params, kavren_analysis_object_id FROM kavren_analysis ORDER BY id;"),
            (rows_t{{"text", "params-1", "analysis-1"}, {"text", "params-2", "analysis-2"}}));
}

TEST_F(metadata_db_test, absent_members_are_null_and_come_back_absent) {
  auto m = db_test::bare_entry(0);
  m.smtp_connect.address = "198.51.100.7";  // one of four present
  const auto id = put(m);
  EXPECT_EQ(sql(path_, "SELECT session_id_string FROM entry;"), (rows_t{{"NULL"}}));
  EXPECT_EQ(sql(path_, "SELECT helo, address, port, proto FROM smtp_connect;"),
            (rows_t{{"NULL", "198.51.100.7", "NULL", "NULL"}}));
  m.id = id;
  expect_same(db_->get_entry(id), m);

  // A connection row is written even when everything is absent.
  const auto id2 = put(db_test::bare_entry(0));
  EXPECT_EQ(sql_value(path_, "SELECT COUNT(*) FROM smtp_connect WHERE entry_id = " + std::to_string(id2) + ";"), "1");
}

TEST_F(metadata_db_test, unsigned_values_keep_their_bit_pattern) {
  auto m = db_test::bare_entry(std::numeric_limits<std::uint64_t>::max());
  m.message_size = two_63;
  m.received_ts = two_63 + 1;
  m.attempts = std::numeric_limits<std::uint64_t>::max() - 1;
  m.smtp_connect.port = 65535;
  m.content.urls = {{"u", std::numeric_limits<std::uint64_t>::max(), boost::none}};
  const auto id = put(m);
  EXPECT_EQ(sql(path_, "SELECT message_size, received_ts, next_access_ts, attempts FROM entry;"),
            (rows_t{{"-9223372036854775808", "-9223372036854775807", "-1", "-2"}}));
  m.id = id;
  expect_same(db_->get_entry(id), m);
}

TEST_F(metadata_db_test, ids_are_never_reused) {
  const auto a = put(db_test::full_entry("same"));
  const auto b = put(db_test::full_entry("same"));
  EXPECT_NE(a, b);
  EXPECT_EQ(db_->remove_entry(b), std::string("file-same.eml"));
  const auto c = put(db_test::full_entry("same"));
  EXPECT_GT(c, b);
  // Also across a reopen.
  EXPECT_TRUE(db_->remove_entry(c));
  db_.reset();
  db_ = std::make_unique<metadata_db_t>(path_, false);
  EXPECT_GT(put(db_test::bare_entry(0)), c);
}

TEST_F(metadata_db_test, get_of_unknown_id_fails_with_entry_not_found) {
  EXPECT_EQ(error_text_of([&] { db_->get_entry(77); }), "Entry not found");
  const auto id = put(db_test::bare_entry(0));
  EXPECT_EQ(error_text_of([&] { db_->get_entry(id + 1); }), "Entry not found");
}

TEST_F(metadata_db_test, get_of_entry_without_sender_fails_with_sender_not_found) {
  const auto id = put(db_test::full_entry("a"));
  sql(path_, "DELETE FROM smtp_sender;");
  EXPECT_EQ(error_text_of([&] { db_->get_entry(id); }), "Sender not found");
}

TEST_F(metadata_db_test, failed_put_leaves_no_rows) {
  put(db_test::bare_entry(0));
  sql(path_,
      "CREATE TRIGGER refuse AFTER INSERT ON kavren_analysis WHEN NEW.params = 'bad' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  db_.reset();  // statements see the trigger after a reopen
  db_ = std::make_unique<metadata_db_t>(path_, false);
  auto m = db_test::full_entry("a");
  m.content.mime_parts[0].samples[0].analyses[1].params = "bad";
  EXPECT_EQ(error_text_of([&] { db_->put_entry(m); }), "'step: sqlite3_step' -> (result code0x13: refused)");
  for (const char* table : {"entry", "smtp_connect", "smtp_sender"}) {
    EXPECT_EQ(sql_count(path_, table), 1) << table;
  }
  for (const char* table : {"smtp_recipient", "smtp_sender_esmtp", "smtp_recipient_esmtp", "mime_part", "kavren_sample",
                            "kavren_analysis", "url"}) {
    EXPECT_EQ(sql_count(path_, table), 0) << table;
  }
  // The connection is usable afterwards.
  EXPECT_GT(put(db_test::full_entry("b")), 0);
}

// ---------------------------------------------------------------------------
// Content

TEST_F(metadata_db_test, mime_path_gets_a_slash_and_is_stored_once) {
  auto m = db_test::bare_entry(0);
  mime_part_t without;
  without.path = "a";
  without.samples = {{"s1", {}}};
  mime_part_t with;
  with.path = "a/";
  with.samples = {{"s2", {}}};
  mime_part_t empty;
  m.content.mime_parts = {without, with, empty};
  const auto id = put(m);
  EXPECT_EQ(sql(path_, "SELECT path FROM mime_part ORDER BY path;"), (rows_t{{"/"}, {"a/"}}));
  const auto got = db_->get_entry(id);
  ASSERT_EQ(got.content.mime_parts.size(), 2u);
  EXPECT_EQ(got.content.mime_parts[0].path, "/");
  EXPECT_EQ(got.content.mime_parts[1].path, "a/");
  ASSERT_EQ(got.content.mime_parts[1].samples.size(), 2u);
  EXPECT_EQ(got.content.mime_parts[1].samples[0].id, "s1");
  EXPECT_EQ(got.content.mime_parts[1].samples[1].id, "s2");

  // An update naming the part without the slash merges into the same row.
  entry_metadata_update_t u;
  u.content.mime_parts = {without};
  db_->update_entry(id, u);
  EXPECT_EQ(sql_count(path_, "mime_part"), 2);
}

TEST_F(metadata_db_test, samples_are_kept_once_and_analyses_accumulate) {
  auto m = db_test::bare_entry(0);
  mime_part_t part;
  part.path = "p";
  part.samples = {{"s", {{"x", "1"}}}, {"s", {{"x", "1"}}}};
  m.content.mime_parts = {part};
  const auto id = put(m);
  EXPECT_EQ(sql_count(path_, "kavren_sample"), 1);
  EXPECT_EQ(sql_count(path_, "kavren_analysis"), 2);

  entry_metadata_update_t u;
  u.content.mime_parts = {part};
  db_->update_entry(id, u);
  EXPECT_EQ(sql_count(path_, "mime_part"), 1);
  EXPECT_EQ(sql_count(path_, "kavren_sample"), 1);
  EXPECT_EQ(sql_count(path_, "kavren_analysis"), 4);
  const auto got = db_->get_entry(id);
  ASSERT_EQ(got.content.mime_parts.size(), 1u);
  ASSERT_EQ(got.content.mime_parts[0].samples.size(), 1u);
  EXPECT_EQ(got.content.mime_parts[0].samples[0].analyses.size(), 4u);
}

TEST_F(metadata_db_test, url_with_the_same_text_is_replaced) {
  auto m = db_test::bare_entry(0);
  m.content.urls = {{"http://x/", 1, std::string("legal-1")}, {"http://x/", 2, boost::none}};
  const auto id = put(m);
  EXPECT_EQ(sql(path_, "SELECT url, category_mask, legal_url FROM url;"), (rows_t{{"http://x/", "2", "NULL"}}));

  entry_metadata_update_t u;
  u.content.urls = {{"http://x/", 3, std::string("legal-3")}, {"http://y/", 4, boost::none}};
  db_->update_entry(id, u);
  const auto got = db_->get_entry(id);
  ASSERT_EQ(got.content.urls.size(), 2u);
  EXPECT_EQ(got.content.urls[0].url, "http://x/");
  EXPECT_EQ(got.content.urls[0].category_mask, 3u);
  EXPECT_EQ(got.content.urls[0].legal_url, std::string("legal-3"));
  EXPECT_EQ(got.content.urls[1].url, "http://y/");
  EXPECT_EQ(got.content.urls[1].legal_url, boost::none);
}

// ---------------------------------------------------------------------------
// Update

TEST_F(metadata_db_test, empty_update_changes_nothing) {
  const auto id = put(db_test::full_entry("a"));
  const auto before = db_->get_entry(id);
  const auto rows_before = child_rows(id);
  entry_metadata_update_t u;  // an empty recipient list among others
  EXPECT_EQ(db_->update_entry(id, u), "");
  expect_same(db_->get_entry(id), before);
  EXPECT_EQ(child_rows(id), rows_before);
}

TEST_F(metadata_db_test, each_scalar_member_changes_only_itself) {
  const auto id = put(db_test::full_entry("a"));
  auto expected = db_->get_entry(id);

  entry_metadata_update_t size;
  size.message_size = 99;
  EXPECT_EQ(db_->update_entry(id, size), "");
  expected.message_size = 99;
  expect_same(db_->get_entry(id), expected);

  entry_metadata_update_t attempts;
  attempts.attempts = 7;
  db_->update_entry(id, attempts);
  expected.attempts = 7;
  expect_same(db_->get_entry(id), expected);

  entry_metadata_update_t next;
  next.next_access_ts = two_63 + 5;
  db_->update_entry(id, next);
  expected.next_access_ts = two_63 + 5;
  expect_same(db_->get_entry(id), expected);

  entry_metadata_update_t status;
  status.status = bcc_accepted;
  db_->update_entry(id, status);
  expected.status = bcc_accepted;
  expect_same(db_->get_entry(id), expected);
  EXPECT_EQ(sql_value(path_, "SELECT status FROM entry;"), "3");
}

TEST_F(metadata_db_test, new_file_name_returns_the_previous_one) {
  const auto id = put(db_test::full_entry("a"));
  entry_metadata_update_t u;
  u.message_filename = "new.eml";
  u.message_size = 5;
  EXPECT_EQ(db_->update_entry(id, u), "file-a.eml");
  const auto got = db_->get_entry(id);
  EXPECT_EQ(got.message_filename, "new.eml");
  EXPECT_EQ(got.message_size, 5u);
  u.message_filename = "newer.eml";
  EXPECT_EQ(db_->update_entry(id, u), "new.eml");
}

TEST_F(metadata_db_test, recipients_alone_replace_all_recipients_and_keep_the_sender) {
  const auto id = put(db_test::full_entry("a"));
  const auto other = put(db_test::full_entry("other"));
  const auto before = db_->get_entry(id);
  entry_metadata_update_t u;
  u.smtp_recipients = {{"new@example.org", {"NOTIFY=DELAY"}}};
  db_->update_entry(id, u);
  auto expected = before;
  expected.smtp_recipients = u.smtp_recipients;
  expect_same(db_->get_entry(id), expected);
  // The old recipients' parameters went with them; the other entry keeps its own.
  EXPECT_EQ(child_rows(id)["smtp_recipient_esmtp"], 1);
  EXPECT_EQ(child_rows(other)["smtp_recipient_esmtp"], 3);
  EXPECT_EQ(child_rows(other)["smtp_recipient"], 3);
}

TEST_F(metadata_db_test, sender_is_replaced_with_its_parameters) {
  const auto id = put(db_test::full_entry("a"));
  auto expected = db_->get_entry(id);
  entry_metadata_update_t u;
  u.smtp_sender = smtp_sender_t{"new-sender@example.org", {"RET=HDRS"}};
  db_->update_entry(id, u);
  expected.smtp_sender = *u.smtp_sender;
  expect_same(db_->get_entry(id), expected);
  EXPECT_EQ(sql_count(path_, "smtp_sender"), 1);
  EXPECT_EQ(sql(path_, "SELECT esmtp FROM smtp_sender_esmtp;"), (rows_t{{"RET=HDRS"}}));
}

TEST_F(metadata_db_test, update_of_unknown_id_changes_nothing_and_succeeds) {
  const auto id = put(db_test::full_entry("a"));
  const auto total = [&] {
    std::int64_t n = 0;
    for (const char* t : {"entry", "smtp_connect", "smtp_sender", "smtp_sender_esmtp", "smtp_recipient",
                          "smtp_recipient_esmtp", "mime_part", "kavren_sample", "kavren_analysis", "url"}) {
      n += sql_count(path_, t);
    }
    return n;
  };
  const auto before = total();
  entry_metadata_update_t u = {};
  u.message_filename = "x.eml";
  u.attempts = 1;
  u.smtp_recipients = {{"r@example.org", {}}};
  u.smtp_sender = smtp_sender_t{"s@example.org", {}};
  u.content = db_test::full_entry("b").content;
  EXPECT_EQ(db_->update_entry(id + 1, u), "");
  EXPECT_EQ(total(), before);
}

TEST_F(metadata_db_test, failed_update_changes_nothing) {
  const auto id = put(db_test::full_entry("a"));
  const auto before = db_->get_entry(id);
  sql(path_,
      "CREATE TRIGGER refuse BEFORE INSERT ON smtp_sender WHEN NEW.sender = 'bad' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  db_.reset();
  db_ = std::make_unique<metadata_db_t>(path_, false);
  entry_metadata_update_t u;
  u.message_filename = "x.eml";
  u.message_size = 1;
  u.smtp_recipients = {{"r@example.org", {}}};
  u.attempts = 9;
  u.next_access_ts = 9;
  u.status = bcc_fresh;
  u.smtp_sender = smtp_sender_t{"bad", {}};
  EXPECT_THROW(db_->update_entry(id, u), sqlite::error_t);
  expect_same(db_->get_entry(id), before);
}

// ---------------------------------------------------------------------------
// Remove

TEST_F(metadata_db_test, remove_takes_every_child_row_along) {
  const auto id = put(db_test::full_entry("a"));
  const auto other = put(db_test::full_entry("b"));
  const auto other_rows = child_rows(other);
  for (const auto& [table, n] : child_rows(id)) EXPECT_GT(n, 0) << table;

  EXPECT_EQ(db_->remove_entry(id), std::string("file-a.eml"));
  for (const auto& [table, n] : child_rows(id)) EXPECT_EQ(n, 0) << table;
  // Nothing dangles anywhere, and the other entry is untouched.
  EXPECT_EQ(sql_count(path_, "smtp_sender_esmtp"), other_rows.at("smtp_sender_esmtp"));
  EXPECT_EQ(sql_count(path_, "smtp_recipient_esmtp"), other_rows.at("smtp_recipient_esmtp"));
  EXPECT_EQ(sql_count(path_, "kavren_analysis"), other_rows.at("kavren_analysis"));
  EXPECT_EQ(child_rows(other), other_rows);
  EXPECT_EQ(db_->get_entry(other).session_id, std::string("sid-b"));

  EXPECT_EQ(db_->remove_entry(id), boost::none);
}

// ---------------------------------------------------------------------------
// Flush, statistics, health

TEST_F(metadata_db_test, flush_returns_each_changed_key_once_at_time_zero) {
  const auto a = put(db_test::bare_entry(5));
  const auto zero = put(db_test::bare_entry(0));
  const auto b = put(db_test::bare_entry(two_63 + 7));
  const auto other = put(db_test::bare_entry(9, bcc_fresh));
  const auto keys = db_->flush_queue(smtp_fresh);
  std::set<std::int64_t> ids;
  for (const auto& key : keys) {
    EXPECT_EQ(key.next_access_ts, 0u);
    EXPECT_TRUE(ids.insert(key.entry_id).second) << "twice: " << key.entry_id;
  }
  EXPECT_EQ(ids, (std::set<std::int64_t>{a, b}));
  EXPECT_EQ(ids.count(zero), 0u);
  EXPECT_EQ(sql(path_, "SELECT id, next_access_ts FROM entry ORDER BY id;"), (rows_t{{std::to_string(a), "0"},
                                                                                     {std::to_string(zero), "0"},
                                                                                     {std::to_string(b), "0"},
                                                                                     {std::to_string(other), "9"}}));
  EXPECT_TRUE(db_->flush_queue(smtp_fresh).empty());
  EXPECT_TRUE(db_->flush_queue(smtp_accepted).empty());
}

TEST_F(metadata_db_test, statistics_per_status) {
  auto stats = db_->get_queue_stat();
  for (const auto& s : stats.stats) {
    EXPECT_EQ(s.total_messages, 0u);
    EXPECT_EQ(s.total_bytes, 0u);
  }
  auto m = db_test::bare_entry(0, smtp_accepted);
  m.message_size = 10;
  put(m);
  m.message_size = 32;
  put(m);
  m.status = bcc_accepted;
  m.message_size = 1;
  put(m);
  stats = db_->get_queue_stat();
  EXPECT_EQ(stats.stats[smtp_fresh].total_messages, 0u);
  EXPECT_EQ(stats.stats[smtp_accepted].total_messages, 2u);
  EXPECT_EQ(stats.stats[smtp_accepted].total_bytes, 42u);
  EXPECT_EQ(stats.stats[bcc_fresh].total_messages, 0u);
  EXPECT_EQ(stats.stats[bcc_fresh].total_bytes, 0u);
  EXPECT_EQ(stats.stats[bcc_accepted].total_messages, 1u);
  EXPECT_EQ(stats.stats[bcc_accepted].total_bytes, 1u);
}

TEST_F(metadata_db_test, health_half_lists_records_and_removes_orphans_only_when_fixing) {
  const auto a = put(db_test::full_entry("a"));
  const auto b = put(db_test::full_entry("b"));
  const auto c = put(db_test::full_entry("c"));

  for (bool fix : {false, true}) {
    std::promise<std::vector<health_check_entry_t>> records;
    auto records_future = records.get_future();
    std::promise<std::vector<std::int64_t>> orphans;
    auto orphans_future = orphans.get_future();
    std::promise<void> done;
    auto done_future = done.get_future();
    orphans.set_value({a, c});
    db_->check_health(records, orphans_future, done, fix);

    auto list = records_future.get();
    std::map<std::int64_t, std::string> by_id;
    for (const auto& r : list) by_id[r.id] = r.message_filename;
    if (!fix) {
      EXPECT_EQ(by_id, (std::map<std::int64_t, std::string>{{a, "file-a.eml"}, {b, "file-b.eml"}, {c, "file-c.eml"}}));
    }
    EXPECT_NO_THROW(done_future.get());
    EXPECT_EQ(sql_count(path_, "entry"), fix ? 1 : 3);
  }
  EXPECT_EQ(sql_value(path_, "SELECT id FROM entry;"), std::to_string(b));
  EXPECT_EQ(child_rows(a)["smtp_recipient_esmtp"], 0);
}

TEST_F(metadata_db_test, health_half_ends_quietly_when_the_directory_half_failed) {
  put(db_test::bare_entry(0));
  std::promise<std::vector<health_check_entry_t>> records;
  std::promise<std::vector<std::int64_t>> orphans;
  auto orphans_future = orphans.get_future();
  std::promise<void> done;
  auto done_future = done.get_future();
  orphans.set_exception(std::make_exception_ptr(std::runtime_error("walk failed")));
  db_->check_health(records, orphans_future, done, true);
  EXPECT_EQ(done_future.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_EQ(sql_count(path_, "entry"), 1);
}

// ---------------------------------------------------------------------------
// Damaged files

TEST(metadata_db_open_test, corrupted_page_fails_the_integrity_check) {
  temp_dir_t dir;
  const auto path = dir.file("queue.db");
  {
    metadata_db_t db(path, false);
    for (int i = 0; i < 40; ++i) db.put_entry(db_test::full_entry(std::to_string(i)));
  }
  const auto root =
      std::stoll(sql_value(path, "SELECT rootpage FROM sqlite_master WHERE name = 'smtp_recipient_by_entry_index';"));
  const auto page_size = std::stoll(sql_value(path, "PRAGMA page_size;"));
  {
    // Flip the last byte (the row id) of every record on the index page:
    // the index then no longer matches its table.
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    const std::streamoff page = (root - 1) * page_size;
    std::vector<unsigned char> bytes(static_cast<std::size_t>(page_size));
    f.seekg(page);
    f.read(reinterpret_cast<char*>(bytes.data()), page_size);
    ASSERT_TRUE(f);
    ASSERT_EQ(bytes[0], 0x0a) << "expected an index leaf page";
    const unsigned cells = (bytes[3] << 8) | bytes[4];
    ASSERT_GT(cells, 10u);
    for (unsigned k = 0; k < cells; ++k) {
      const unsigned cell = (bytes[8 + 2 * k] << 8) | bytes[9 + 2 * k];
      const unsigned payload = bytes[cell];
      ASSERT_LT(payload, 0x80u) << "one-byte payload size expected";
      bytes[cell + payload] ^= 0x55;
    }
    f.seekp(page);
    f.write(reinterpret_cast<const char*>(bytes.data()), page_size);
    ASSERT_TRUE(f);
  }
  EXPECT_EQ(error_text_of([&] { metadata_db_t db(path, false); }), "Integrity check failed");
}

TEST(metadata_db_open_test, orphan_row_fails_the_foreign_key_check) {
  temp_dir_t dir;
  const auto path = dir.file("queue.db");
  { metadata_db_t db(path, false); }
  // Written with foreign keys off, as another program might.
  sql(path, "INSERT INTO smtp_recipient(entry_id, recipient) VALUES (42, 'nobody@example.org');");
  EXPECT_EQ(error_text_of([&] { metadata_db_t db(path, false); }), "Foreign key constraints check failed");
}

TEST(metadata_db_open_test, file_that_is_not_a_database_is_refused) {
  temp_dir_t dir;
  const auto path = dir.file("queue.db");
  {
    std::ofstream f(path, std::ios::binary);
    f << std::string(8192, 'x');
  }
  EXPECT_EQ(error_text_of([&] { metadata_db_t db(path, false); }),
            "'sqlite3_prepare_v2: PRAGMA integrity_check;' -> (result code0x1a: file is not a database)");
}

TEST(metadata_db_open_test, foreign_keys_are_enforced_on_our_connection) {
  temp_dir_t dir;
  metadata_db_t db(dir.file("queue.db"), false);
  EXPECT_EQ(error_text_of(
                [&] { db.connection().execute("INSERT INTO url(entry_id, url, category_mask) VALUES (5, 'u', 0);"); }),
            "'step: sqlite3_step' -> (result code0x13: FOREIGN KEY constraint failed)");
}

// ---------------------------------------------------------------------------
// Trace

TEST(metadata_db_trace_test, statements_are_logged_at_debug_while_tracing) {
  temp_dir_t dir;
  db_test::log_capture_t log;
  metadata_db_t db(dir.file("queue.db"), true);
  // The checks run with the hook in place.
  EXPECT_TRUE(log.has(ov::util::logger::debug, "Queue metadata db: PRAGMA integrity_check;"));
  log.clear();
  auto m = db_test::bare_entry(0);
  m.message_filename = "traced.eml";
  db.put_entry(m);
  EXPECT_TRUE(log.has(ov::util::logger::debug, "Queue metadata db: BEGIN TRANSACTION;"));
  EXPECT_TRUE(log.has(ov::util::logger::debug, "Queue metadata db: COMMIT;"));
  bool insert_seen = false;
  for (const auto& line : log.lines()) {
    if (line.second.rfind("Queue metadata db: INSERT INTO entry(", 0) == 0 &&
        line.second.find("'traced.eml'") != std::string::npos) {
      insert_seen = true;
    }
  }
  EXPECT_TRUE(insert_seen);

  db.set_trace(false);
  log.clear();
  db.put_entry(m);
  EXPECT_EQ(log.count_prefixed("Queue metadata db: "), 0u);

  db.set_trace(true);
  ov::util::logger::set_log_level(ov::util::logger::info);
  db.put_entry(m);
  EXPECT_EQ(log.count_prefixed("Queue metadata db: "), 0u);
}

}  // namespace
}  // namespace mq::store
