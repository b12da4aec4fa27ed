#include "store/metadata_db.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <boost/optional/optional_io.hpp>

#include "store/sqlite.h"
#include "store_support.h"

namespace mq::store {
namespace {

using namespace mq::store::test;
using rows_t = std::vector<std::vector<std::string>>;

constexpr std::uint64_t two_63 = std::uint64_t(1) << 63;

// Runs statements on a connection of its own, through SQLite directly;
// every value as text, NULL as "NULL".
rows_t sql(const std::string& path, const std::string& text) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  rows_t rows;
  std::string error;
  for (const char* rest = text.c_str(); *rest && error.empty();) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, rest, -1, &stmt, &rest) != SQLITE_OK) error = sqlite3_errmsg(db);
    if (!stmt) break;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      rows.emplace_back();
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
        rows.back().push_back(value ? value : "NULL");
      }
    }
    if (sqlite3_finalize(stmt) != SQLITE_OK) error = sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  if (!error.empty()) throw std::runtime_error(error + " in: " + text);
  return rows;
}

entry_metadata_t full_entry(const std::string& tag) {
  entry_metadata_t m;
  m.session_id = "sid-" + tag;
  m.message_filename = "file-" + tag + ".eml";
  m.message_size = 1234;
  m.status = smtp_accepted;
  m.received_ts = 1000;
  m.next_access_ts = 2000;
  m.attempts = 3;
  m.smtp_connect = {"helo." + tag, std::string("192.0.2.1"), std::uint16_t(2525), std::string("ESMTP")};
  m.smtp_sender = {"sender-" + tag + "@example.org", {"SIZE=1234", "BODY=8BITMIME"}};
  m.smtp_recipients = {{"a-" + tag + "@example.org", {"NOTIFY=NEVER"}},
                       {"b-" + tag + "@example.org", {}},
                       {"c-" + tag + "@example.org", {"ORCPT=rfc822;c@example.org", "NOTIFY=SUCCESS"}}};
  m.content.mime_parts = {{"1/2", boost::none, {{"sample-" + tag, {{"params-1", "analysis-1"}, {"params-2", "x"}}}}}};
  m.content.urls = {{"http://example.com/" + tag, 0, boost::none},
                    {"http://example.org/" + tag, 5, std::string("http://legal.example.org/")}};
  return m;
}

entry_metadata_t bare_entry(std::uint64_t next_access_ts, status_t status = smtp_fresh) {
  entry_metadata_t m;
  m.message_filename = "bare.eml";
  m.status = status;
  m.next_access_ts = next_access_ts;
  m.smtp_sender.sender = "s@example.org";
  return m;
}

// Every member as text, so that a difference names itself.
std::string dump(const entry_metadata_t& m) {
  std::ostringstream o;
  const auto opt = [](const auto& v) {
    std::ostringstream s;
    if (v) s << *v;
    return v ? s.str() : "-";
  };
  o << m.id << "|" << opt(m.session_id) << "|" << m.message_filename << "|" << m.message_size << "|" << m.status << "|"
    << m.received_ts << "|" << m.next_access_ts << "|" << m.attempts << "\n"
    << opt(m.smtp_connect.helo) << "|" << opt(m.smtp_connect.address) << "|" << opt(m.smtp_connect.port) << "|"
    << opt(m.smtp_connect.proto) << "\nfrom " << m.smtp_sender.sender;
  for (const auto& e : m.smtp_sender.esmtp) o << " " << e;
  for (const auto& r : m.smtp_recipients) {
    o << "\nto " << r.recipient;
    for (const auto& e : r.esmtp) o << " " << e;
  }
  for (const auto& p : m.content.mime_parts) {
    o << "\npart " << p.path << "|" << opt(p.scan_report);
    for (const auto& s : p.samples) {
      o << " sample " << s.id;
      for (const auto& a : s.analyses) o << " " << a.params << "=" << a.id;
    }
  }
  for (const auto& u : m.content.urls) o << "\nurl " << u.url << "|" << u.category_mask << "|" << opt(u.legal_url);
  return o.str();
}

class metadata_db_test : public ::testing::Test {
 protected:
  std::int64_t put(const entry_metadata_t& m) { return static_cast<std::int64_t>(db->put_entry(m)); }

  temp_dir_t tmp;
  const std::string path = tmp.file("queue.db");
  std::unique_ptr<metadata_db_t> db = std::make_unique<metadata_db_t>(path, false);
};

// Other programs read queue.db: its tables and columns are a file format.
TEST_F(metadata_db_test, the_schema_is_the_file_format) {
  EXPECT_EQ(
      sql(path,
          "SELECT m.name, group_concat(trim(p.name || ' ' || p.type || "
          "CASE WHEN p.\"notnull\" THEN ' NOT NULL' ELSE '' END), ', ') "
          "FROM sqlite_master m, pragma_table_info(m.name) p WHERE m.type = 'table' "
          "GROUP BY m.name ORDER BY m.name;"),
      (rows_t{{"entry",
               "id INTEGER, session_id_string TEXT, message_filename TEXT NOT NULL, message_size INTEGER NOT "
               "NULL, received_ts INTEGER NOT NULL, next_access_ts INTEGER NOT NULL, status INTEGER NOT NULL, "
               "attempts INTEGER NOT NULL"},
              {"kavren_analysis",
               "id INTEGER, kavren_sample_id INTEGER NOT NULL, params BLOB NOT NULL, kavren_analysis_object_id "
               "TEXT NOT NULL"},
              {"kavren_sample", "id INTEGER, mime_part_id INTEGER NOT NULL, kavren_sample_object_id TEXT NOT NULL"},
              {"mime_part", "id INTEGER, entry_id INTEGER NOT NULL, path TEXT NOT NULL, scan_report BLOB"},
              {"smtp_connect",
               "id INTEGER, entry_id INTEGER NOT NULL, helo TEXT, address TEXT, port INTEGER, "
               "proto TEXT"},
              {"smtp_recipient", "id INTEGER, entry_id INTEGER NOT NULL, recipient TEXT NOT NULL"},
              {"smtp_recipient_esmtp", "id INTEGER, recipient_id INTEGER NOT NULL, esmtp TEXT NOT NULL"},
              {"smtp_sender", "id INTEGER, entry_id INTEGER NOT NULL, sender TEXT NOT NULL"},
              {"smtp_sender_esmtp", "id INTEGER, sender_id INTEGER NOT NULL, esmtp TEXT NOT NULL"},
              {"sqlite_sequence", "name, seq"},  // ids are never reused
              {"url",
               "id INTEGER, entry_id INTEGER NOT NULL, url TEXT NOT NULL, category_mask INTEGER NOT "
               "NULL, legal_url TEXT"}}));
}

TEST_F(metadata_db_test, an_entry_is_stored_as_the_rows_of_the_format_and_comes_back_whole) {
  auto full = full_entry("a");
  full.id = put(full);
  const std::map<std::string, rows_t> stored{
      {"entry", {{"1", "sid-a", "file-a.eml", "1234", "1000", "2000", "1", "3"}}},
      {"smtp_connect", {{"1", "1", "helo.a", "192.0.2.1", "2525", "ESMTP"}}},
      {"smtp_sender", {{"1", "1", "sender-a@example.org"}}},
      {"smtp_sender_esmtp", {{"1", "1", "SIZE=1234"}, {"2", "1", "BODY=8BITMIME"}}},
      {"smtp_recipient", {{"1", "1", "a-a@example.org"}, {"2", "1", "b-a@example.org"}, {"3", "1", "c-a@example.org"}}},
      {"smtp_recipient_esmtp",
       {{"1", "1", "NOTIFY=NEVER"}, {"2", "3", "ORCPT=rfc822;c@example.org"}, {"3", "3", "NOTIFY=SUCCESS"}}},
      {"mime_part", {{"1", "1", "1/2/", "NULL"}}},  // a path always ends in a slash
      {"kavren_sample", {{"1", "1", "sample-a"}}},
      {"kavren_analysis", {{"1", "1", "params-1", "analysis-1", "text"}, {"2", "1", "params-2", "x", "text"}}},
      {"url",
       {{"1", "1", "http://example.com/a", "0", "NULL"},
        {"2", "1", "http://example.org/a", "5", "http://legal.example.org/"}}}};
  for (const auto& [table, rows] : stored) {
    const std::string extra = table == "kavren_analysis" ? ", typeof(params)" : "";
    EXPECT_EQ(sql(path, "SELECT *" + extra + " FROM " + table + " ORDER BY id;"), rows) << table;
  }
  full.content.mime_parts[0].path = "1/2/";
  EXPECT_EQ(dump(db->get_entry(full.id)), dump(full));

  // Absent members are NULL; unsigned values keep their bit pattern.
  auto bare = bare_entry(std::numeric_limits<std::uint64_t>::max());
  bare.message_size = two_63;
  bare.attempts = two_63 + 1;
  bare.smtp_connect.address = "198.51.100.7";
  bare.id = put(bare);
  EXPECT_EQ(sql(path, "SELECT * FROM entry WHERE id = 2; SELECT * FROM smtp_connect WHERE entry_id = 2;"),
            (rows_t{{"2", "NULL", "bare.eml", "-9223372036854775808", "0", "-1", "0", "-9223372036854775807"},
                    {"2", "2", "NULL", "198.51.100.7", "NULL", "NULL"}}));
  EXPECT_EQ(dump(db->get_entry(bare.id)), dump(bare));

  const auto stats = db->get_queue_stat();
  EXPECT_EQ(std::make_pair(stats.stats[smtp_accepted].total_messages, stats.stats[smtp_accepted].total_bytes),
            std::make_pair(std::uint64_t(1), std::uint64_t(1234)));
  EXPECT_EQ(std::make_pair(stats.stats[smtp_fresh].total_messages, stats.stats[smtp_fresh].total_bytes),
            std::make_pair(std::uint64_t(1), two_63));
  EXPECT_EQ(stats.stats[bcc_fresh].total_messages + stats.stats[bcc_accepted].total_messages, 0u);
}

TEST_F(metadata_db_test, an_update_changes_what_it_names_and_a_remove_takes_every_row_along) {
  const auto kept = full_entry("a");
  put(kept);
  const auto count_rows = [&] {
    return sql(path,
               "SELECT (SELECT COUNT(*) FROM entry), (SELECT COUNT(*) FROM smtp_connect), (SELECT COUNT(*) FROM "
               "smtp_sender), (SELECT COUNT(*) FROM smtp_sender_esmtp), (SELECT COUNT(*) FROM smtp_recipient), "
               "(SELECT COUNT(*) FROM smtp_recipient_esmtp), (SELECT COUNT(*) FROM mime_part), (SELECT COUNT(*) FROM "
               "kavren_sample), (SELECT COUNT(*) FROM kavren_analysis), (SELECT COUNT(*) FROM url);");
  };
  const auto rows_of_one = count_rows();
  const auto id = put(full_entry("b"));
  auto expected = db->get_entry(id);

  entry_metadata_update_t u;
  u.message_filename = "new.eml";
  u.message_size = 99;
  u.attempts = 7;
  u.next_access_ts = 8;
  u.status = bcc_accepted;
  u.smtp_recipients = {{"new@example.org", {"NOTIFY=DELAY"}}};
  u.smtp_sender = smtp_sender_t{"new-sender@example.org", {"RET=HDRS"}};
  u.content.urls = {{"http://example.com/b", 9, std::string("legal")}};  // the same text: replaced
  EXPECT_EQ(db->update_entry(id, u), "file-b.eml");
  expected.message_filename = "new.eml";
  expected.message_size = 99;
  expected.attempts = 7;
  expected.next_access_ts = 8;
  expected.status = bcc_accepted;
  expected.smtp_recipients = u.smtp_recipients;
  expected.smtp_sender = *u.smtp_sender;
  expected.content.urls[0] = u.content.urls[0];
  EXPECT_EQ(dump(db->get_entry(id)), dump(expected));
  EXPECT_EQ(db->update_entry(id, entry_metadata_update_t{}), "");
  EXPECT_EQ(dump(db->get_entry(id)), dump(expected));
  EXPECT_EQ(db->update_entry(id + 1, u), "");  // an unknown id changes nothing

  EXPECT_EQ(db->remove_entry(id), std::string("new.eml"));
  EXPECT_EQ(db->remove_entry(id), boost::none);
  EXPECT_EQ(count_rows(), rows_of_one);
  auto kept_back = kept;
  kept_back.id = 1;
  kept_back.content.mime_parts[0].path = "1/2/";
  EXPECT_EQ(dump(db->get_entry(1)), dump(kept_back));
  // Nothing dangles: the file opens again.
  db.reset();
  EXPECT_NO_THROW(db = std::make_unique<metadata_db_t>(path, false));
}

TEST_F(metadata_db_test, a_failed_put_leaves_no_rows) {
  sql(path,
      "CREATE TRIGGER refuse AFTER INSERT ON kavren_analysis WHEN NEW.params = 'bad' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  auto m = full_entry("a");
  m.content.mime_parts[0].samples[0].analyses[1].params = "bad";
  try {
    db->put_entry(m);
    ADD_FAILURE() << "the put succeeded";
  } catch (const sqlite::error_t& e) {
    EXPECT_STREQ(e.what(), "'step: sqlite3_step' -> (result code0x13: refused)");
  }
  EXPECT_EQ(sql(path,
                "SELECT COUNT(*) FROM entry UNION ALL SELECT COUNT(*) FROM smtp_connect UNION ALL SELECT COUNT(*) "
                "FROM smtp_sender UNION ALL SELECT COUNT(*) FROM kavren_analysis;"),
            (rows_t{{"0"}, {"0"}, {"0"}, {"0"}}));
  EXPECT_GT(put(full_entry("b")), 0);  // the connection goes on
}

TEST_F(metadata_db_test, a_busy_database_is_waited_for) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
  // Called when our connection meets the lock: the other one lets go, and
  // the put has to try again instead of failing.
  struct holder_t {
    sqlite3* db;
    int busy;
  } holder{other, 0};
  sqlite3_busy_handler(
      db->connection().handle(),
      [](void* p, int) {
        auto* h = static_cast<holder_t*>(p);
        if (h->busy++ == 0) sqlite3_exec(h->db, "COMMIT;", nullptr, nullptr, nullptr);
        return 0;
      },
      &holder);
  const auto retries = sqlite::busy_retries();
  EXPECT_GT(put(bare_entry(5)), 0);
  EXPECT_EQ(holder.busy, 1);
  EXPECT_GT(sqlite::busy_retries(), retries);
  sqlite3_close(other);
}

struct paging_row_t {
  const char* name;
  bool briefs;  // GET_QUEUE_CHUNK; otherwise GET_ENTRY_IDS
  std::uint64_t limit;
  std::uint64_t from;
};

using key_list_t = std::vector<std::pair<std::int64_t, std::uint64_t>>;  // (id, time)

class paging_test : public ::testing::TestWithParam<paging_row_t> {
 public:
  // 250 entries whose times repeat in runs, so that page boundaries fall
  // between equal times; entries of another status in between; three from
  // 2^63 up, stored as negative numbers.
  static void SetUpTestSuite() {
    tmp = std::make_unique<temp_dir_t>();
    db = std::make_unique<metadata_db_t>(tmp->file("queue.db"), false);
    db->connection().execute("PRAGMA synchronous=OFF;");
    for (int i = 0; i < 250; ++i) {
      auto m = bare_entry(static_cast<std::uint64_t>((i * 7) % 25) * 10, smtp_accepted);
      if (i % 5) m.session_id = "s" + std::to_string(i);
      m.attempts = static_cast<std::uint64_t>(i % 4);
      m.smtp_sender.sender = "from" + std::to_string(i);
      for (int r = 0; r < i % 3; ++r) m.smtp_recipients.push_back({"to" + std::to_string(r), {"X"}});
      const auto id = static_cast<std::int64_t>(db->put_entry(m));
      keys.emplace_back(id, m.next_access_ts);
      briefs[id] = brief_text(m.attempts, m.session_id.value_or(""), m.smtp_sender.sender, m.smtp_recipients.size());
      if (i % 9 == 0) db->put_entry(bare_entry(m.next_access_ts, smtp_fresh));
    }
    for (std::uint64_t t : {two_63, two_63 + 1, ~std::uint64_t(0)})
      high.emplace_back(static_cast<std::int64_t>(db->put_entry(bare_entry(t, smtp_accepted))), t);
    const auto order = [](const auto& a, const auto& b) {
      return std::tie(a.second, a.first) < std::tie(b.second, b.first);
    };
    std::sort(keys.begin(), keys.end(), order);
  }

  static void TearDownTestSuite() {
    db.reset();
    tmp.reset();
  }

  static std::string brief_text(std::uint64_t attempts, const std::string& session, const std::string& sender,
                                std::size_t recipients) {
    std::string text = std::to_string(attempts) + "|" + session + "|" + sender + "|";
    for (std::size_t r = 0; r < recipients; ++r) text += "to" + std::to_string(r) + ",";
    return text;
  }

  static inline std::unique_ptr<temp_dir_t> tmp;
  static inline std::unique_ptr<metadata_db_t> db;
  static inline key_list_t keys, high;
  static inline std::map<std::int64_t, std::string> briefs;
};

TEST_P(paging_test, loses_nothing_between_equal_times) {
  const auto& row = GetParam();
  queue_chunk_request_t request;
  request.status = smtp_accepted;
  request.limit = row.limit;
  request.next_access_ts = row.from;
  key_list_t got;
  std::vector<std::size_t> sizes;
  while (sizes.size() < 1000) {
    key_list_t page;
    if (row.briefs) {
      for (const auto& b : db->get_queue_chunk_brief(request)) {
        page.emplace_back(b.id, b.next_access_ts);
        std::string recipients;
        for (const auto& r : b.recipients) recipients += r + ",";
        EXPECT_EQ(brief_text(b.attempts, b.session_id, b.sender, 0) + recipients, briefs.at(b.id));
      }
    } else {
      for (const auto& k : db->get_queue_chunk(request)) page.emplace_back(k.entry_id, k.next_access_ts);
    }
    sizes.push_back(page.size());
    if (page.empty()) break;
    got.insert(got.end(), page.begin(), page.end());
    request.entry_id = page.back().first;
    request.next_access_ts = page.back().second;
  }
  key_list_t want = row.from ? high : key_list_t{};
  want.insert(want.end(), keys.begin(), keys.end());
  EXPECT_EQ(got, want);
  const std::size_t limit = row.limit ? row.limit : 100;
  std::vector<std::size_t> full_pages(want.size() / limit, limit);
  if (want.size() % limit) full_pages.push_back(want.size() % limit);
  full_pages.push_back(0);
  EXPECT_EQ(sizes, full_pages);
}

INSTANTIATE_TEST_SUITE_P(rows, paging_test,
                         ::testing::Values(paging_row_t{"entry_ids_by_default", false, 0, 0},
                                           paging_row_t{"entry_ids_by_1", false, 1, 0},
                                           paging_row_t{"entry_ids_from_2_63_by_37", false, 37, two_63},
                                           paging_row_t{"queue_chunks_by_default", true, 0, 0},
                                           paging_row_t{"queue_chunks_by_1", true, 1, 0},
                                           paging_row_t{"queue_chunks_by_7", true, 7, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mq::store
