#include "store/metadata_reader.h"
#include "store/metadata_writer.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <optional>
#include <tuple>

#include "store_support.h"

namespace mq::store {
namespace {

using namespace mq::store::test;

constexpr std::uint64_t two_63 = std::uint64_t(1) << 63;

// Every table but the id counter, a line each: its name, its columns and
// its rows in id order.
std::string all_rows(const std::string& path) {
  std::string text;
  for (const auto& table : sql(path, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name;")) {
    if (table == "sqlite_sequence") continue;
    text += table + "(" + sql(path, "SELECT group_concat(name, '|') FROM pragma_table_info('" + table + "');")[0] + ")";
    for (const auto& row : sql(path, "SELECT * FROM " + table + " ORDER BY id;")) text += " " + row + ";";
    text += "\n";
  }
  return text;
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

class metadata_db_test : public ::testing::Test {
 protected:
  std::int64_t put(const entry_metadata_t& m) { return static_cast<std::int64_t>(db->put_entry(m)); }

  temp_dir_t tmp;
  const std::string path = tmp.file("queue.db");
  std::unique_ptr<metadata_writer_t> db = std::make_unique<metadata_writer_t>(path, false);
  // Opened after the writer: it reads an existing database.
  std::unique_ptr<metadata_reader_t> reader = std::make_unique<metadata_reader_t>(path, false);
};

// Other programs read queue.db: its tables, columns and values are a file
// format.
TEST_F(metadata_db_test, an_entry_is_stored_as_the_rows_of_the_format) {
  put(full_entry("a"));
  EXPECT_EQ(
      all_rows(path),
      R"(entry(id|session_id_string|message_filename|message_size|received_ts|next_access_ts|status|attempts) 1|sid-a|file-a.eml|1234|1000|2000|1|3;
kavren_analysis(id|kavren_sample_id|params|kavren_analysis_object_id) 1|1|params-1|analysis-1; 2|1|params-2|x;
kavren_sample(id|mime_part_id|kavren_sample_object_id) 1|1|sample-a;
mime_part(id|entry_id|path|scan_report) 1|1|1/2/|NULL;
smtp_connect(id|entry_id|helo|address|port|proto) 1|1|helo.a|192.0.2.1|2525|ESMTP;
smtp_recipient(id|entry_id|recipient) 1|1|a-a@example.org; 2|1|b-a@example.org; 3|1|c-a@example.org;
smtp_recipient_esmtp(id|recipient_id|esmtp) 1|1|NOTIFY=NEVER; 2|3|ORCPT=rfc822;c@example.org; 3|3|NOTIFY=SUCCESS;
smtp_sender(id|entry_id|sender) 1|1|sender-a@example.org;
smtp_sender_esmtp(id|sender_id|esmtp) 1|1|SIZE=1234; 2|1|BODY=8BITMIME;
url(id|entry_id|url|category_mask|legal_url) 1|1|http://example.com/a|0|NULL; 2|1|http://example.org/a|5|http://legal.example.org/;
)");

  // Absent members are NULL; unsigned values keep their bit pattern.
  auto bare = bare_entry(std::numeric_limits<std::uint64_t>::max());
  bare.message_size = two_63;
  bare.attempts = two_63 + 1;
  bare.smtp_connect.address = "198.51.100.7";
  put(bare);
  EXPECT_EQ(sql(path, "SELECT * FROM entry WHERE id = 2; SELECT * FROM smtp_connect WHERE entry_id = 2;"),
            (std::vector<std::string>{"2|NULL|bare.eml|-9223372036854775808|0|-1|0|-9223372036854775807",
                                      "2|2|NULL|198.51.100.7|NULL|NULL"}));
}

// A put stored in pieces: until it is shown, no read, update, removal or
// count finds it, and a restart removes it; once shown, its rows are a
// whole put's.
TEST_F(metadata_db_test, a_put_in_pieces_is_hidden_until_shown_and_gone_after_a_restart) {
  auto m = full_entry("a");
  for (int r = 0; r < 9000; ++r) m.smtp_recipients.push_back({"r" + std::to_string(r) + "@example.org", {}});
  const auto pieces = metadata_writer_t::pieces_of(m);
  ASSERT_EQ(pieces.size(), 2u);
  for (const bool shown : {true, false}) {
    const std::int64_t id = db->begin_put(m);
    for (const auto& piece : pieces) db->put_piece(id, m, piece);
    EXPECT_THROW(reader->get_entry(id), std::exception);
    // Updated, removed, counted.
    EXPECT_EQ((std::tuple{db->update_existing_entry(id, entry_metadata_update_t{}).has_value(),
                          db->remove_entry(id).has_value(), reader->get_queue_stat().stats[m.status].total_messages}),
              (std::tuple{false, false, shown ? 0u : 1u}));
    if (shown) {
      EXPECT_EQ(db->end_put(id, m.status), static_cast<std::uint64_t>(id));
      EXPECT_EQ(reader->get_entry(id).smtp_recipients.size(), m.smtp_recipients.size());
    }
  }
  reader.reset();
  db = std::make_unique<metadata_writer_t>(path, false);
  EXPECT_EQ(sql(path, "SELECT count(*) FROM entry; SELECT count(*) FROM smtp_recipient; SELECT count(*) FROM url;"),
            (std::vector<std::string>{"1", "9003", "2"}));
}

using key_list_t = std::vector<std::pair<std::int64_t, std::uint64_t>>;  // (id, time)
// In the order of the pages: by time, then by id.
void sort_by_time(key_list_t& keys) {
  std::sort(keys.begin(), keys.end(),
            [](auto& a, auto& b) { return std::tie(a.second, a.first) < std::tie(b.second, b.first); });
}

TEST_F(metadata_db_test, paging_loses_nothing_between_equal_times) {
  // 250 entries whose times repeat in runs, so that page boundaries fall
  // between equal times; entries of another status in between; three from
  // 2^63 up, stored as negative numbers: they sort first.
  db->connection().execute("PRAGMA synchronous=OFF;");
  key_list_t keys, high;
  for (std::uint64_t t : {two_63, two_63 + 1, ~std::uint64_t(0)})
    high.emplace_back(put(bare_entry(t, smtp_accepted)), t);
  for (int i = 0; i < 250; ++i) {
    auto m = bare_entry(static_cast<std::uint64_t>((i * 7) % 25) * 10, smtp_accepted);
    keys.emplace_back(put(m), m.next_access_ts);
    if (i % 9 == 0) put(bare_entry(m.next_access_ts, smtp_fresh));
  }
  sort_by_time(keys);

  // Briefs (GET_QUEUE_CHUNK) or ids (GET_ENTRY_IDS), page size, first time.
  for (const auto& [briefs, limit, from] :
       std::vector<std::tuple<bool, std::uint64_t, std::uint64_t>>{{false, 37, two_63}, {true, 7, 0}}) {
    SCOPED_TRACE(std::to_string(briefs) + " by " + std::to_string(limit) + " from " + std::to_string(from));
    queue_chunk_request_t request{0, from, smtp_accepted, limit};
    key_list_t got;
    std::vector<std::size_t> sizes;
    while (sizes.size() < 1000) {
      const std::size_t before = got.size();
      if (briefs) {
        for (const auto& b : reader->get_queue_chunk_brief(request)) got.emplace_back(b.id, b.next_access_ts);
      } else {
        for (const auto& k : reader->get_queue_chunk(request)) got.emplace_back(k.entry_id, k.next_access_ts);
      }
      sizes.push_back(got.size() - before);
      if (got.size() == before) break;
      std::tie(request.entry_id, request.next_access_ts) = got.back();
    }
    key_list_t want = from ? high : key_list_t{};
    want.insert(want.end(), keys.begin(), keys.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(sizes.size(), (want.size() + limit - 1) / limit + 1) << "pages not full";
  }
}

// A brief page stops reading once it is full, its first entry always whole;
// the walk goes on from its last key and sees every entry once with all its
// recipients. By default it is full at a frame: here 17 entries of 4 MiB.
TEST_F(metadata_db_test, a_brief_page_ends_when_full_and_the_walk_goes_on) {
  db->connection().execute("PRAGMA synchronous=OFF;");
  const std::string text(4096, 'r');
  key_list_t want;
  for (int i = 0; i < 17; ++i) {
    auto m = bare_entry(100 + i % 3, smtp_accepted);
    for (int r = 0; r < 1024; ++r) m.smtp_recipients.push_back({std::to_string(r) + text, {}});
    want.emplace_back(put(m), m.next_access_ts);
  }
  sort_by_time(want);
  const auto bytes = [](const entry_brief_t& b) {
    std::uint64_t n = b.sender.size() + b.session_id.size();
    for (const auto& r : b.recipients) n += r.size();
    return n;
  };
  for (const std::uint64_t max_bytes : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{20} << 20}) {
    SCOPED_TRACE(max_bytes);
    const std::uint64_t full = max_bytes ? max_bytes : std::uint64_t{64} << 20;
    queue_chunk_request_t request{0, 0, smtp_accepted, 10000, max_bytes};
    key_list_t got;
    std::uint64_t last_page = 0;  // bytes of the page before
    for (int pages = 0; pages < 20; ++pages) {
      const auto page = reader->get_queue_chunk_brief(request);
      if (page.empty()) break;
      EXPECT_TRUE(!last_page || last_page + bytes(page.front()) > full * 95 / 100) << "cut early";
      last_page = 0;
      for (const auto& b : page) {
        EXPECT_EQ(1024u, b.recipients.size());
        last_page += bytes(b);
        got.emplace_back(b.id, b.next_access_ts);
      }
      EXPECT_TRUE(page.size() < 2 || last_page <= full) << last_page;
      std::tie(request.entry_id, request.next_access_ts) = got.back();
    }
    EXPECT_EQ(got, want);
  }
}

TEST_F(metadata_db_test, an_old_database_gains_the_log_and_the_paging_index_and_both_page_statements_seek_on_it) {
  reader = nullptr;
  db = nullptr;
  // As an earlier version left it: a rollback journal, no paging index.
  sql(path, "PRAGMA journal_mode=DELETE; DROP INDEX entry_by_status_next_access_ts_index;");
  mq::test::log_capture_t log;
  db = std::make_unique<metadata_writer_t>(path, true);
  reader = std::make_unique<metadata_reader_t>(path, true);
  EXPECT_EQ(sql(path, "PRAGMA journal_mode;"), std::vector<std::string>{"wal"});
  // A commit survives a power loss only when the log is synced with it.
  auto synchronous = db->connection().prepare("PRAGMA synchronous;");
  ASSERT_TRUE(synchronous.step());
  EXPECT_EQ(synchronous.column_int64(0), 2);  // FULL

  queue_chunk_request_t request{5, 7, bcc_fresh, 0};
  reader->get_queue_chunk(request);
  reader->get_queue_chunk_brief(request);
  int pages = 0;
  for (const auto& line : log.lines()) {
    const auto select = line.find("SELECT");
    if (select == std::string::npos || line.find("ORDER BY") == std::string::npos) continue;
    ++pages;
    std::string plan;
    for (const auto& row : sql(path, "EXPLAIN QUERY PLAN " + line.substr(select))) plan += row + "\n";
    EXPECT_NE(plan.find("INDEX entry_by_status_next_access_ts_index (status=? AND next_access_ts>?)"),
              std::string::npos)
        << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
  }
  EXPECT_EQ(pages, 2);
}

// The writes of a group share one COMMIT, each in a savepoint of its own:
// one that fails after some of its writes leaves none of them, and the
// others are stored. A COMMIT rolled back whole runs each again alone; one
// that finds the database busy fails the group after one wait; one that
// may have stored the group (a write to the log failed) runs nothing again.
TEST(group_commit_test, a_failing_operation_fails_alone_and_nothing_that_may_be_stored_runs_again) {
  // Commits refused by the hook, a log write fails, another writer holds the lock; commits the hook sees (-1: not
  // counted), the error of the operations that did not fail on their own, the rows left.
  const std::vector<std::string> stored{"sid-a", "sid-c", "2", "6", "4"}, none{"0", "0", "0"};
  for (const auto& [failing_commits, log_write_fails, locked, hook_commits, others_error, rows] :
       std::vector<std::tuple<int, bool, bool, int, std::string, std::vector<std::string>>>{
           {0, false, false, 1, "Success", stored},
           {1, false, false, 3, "Success", stored},
           {0, true, false, 1, "the outcome of a commit is unknown", none},
           {0, false, true, -1, "database is locked", none}}) {
    SCOPED_TRACE(others_error + " " + std::to_string(failing_commits));
    temp_dir_t tmp;
    const std::string path = tmp.file("queue.db");
    metadata_writer_t db(path, false);
    sql(path,
        "CREATE TRIGGER refuse AFTER INSERT ON kavren_analysis WHEN NEW.params = 'bad' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    std::pair<int, int> commits{failing_commits, 0};  // still to fail, seen
    sqlite3_commit_hook(
        db.connection().handle(),
        [](void* p) {
          auto* c = static_cast<std::pair<int, int>*>(p);
          ++c->second;
          return c->first-- > 0 ? 1 : 0;
        },
        &commits);
    std::optional<sqlite::connection_t> writer;  // holds the write lock: the group finds the database busy
    if (locked) writer.emplace(path).execute("BEGIN IMMEDIATE;");
    const auto limit = sqlite::set_busy_limit(std::chrono::milliseconds(300));
    const auto retries = sqlite::busy_retries();
    auto bad = full_entry("b");
    bad.content.mime_parts[0].samples[0].analyses[1].params = "bad";
    std::vector<std::exception_ptr> errors;
    {
      boost::optional<failing_commit_write_t> failing;
      if (log_write_fails) failing.emplace();
      errors = db.run_group({[&] { db.put_entry(full_entry("a")); }, [&] { db.put_entry(bad); },
                             [&] { db.put_entry(full_entry("c")); },
                             [&] {
                               db.put_entry(full_entry("x"));
                               throw std::runtime_error("after its writes");
                             }});
    }
    sqlite::set_busy_limit(limit);
    writer.reset();
    ASSERT_EQ(errors.size(), 4u);
    // Busy at the first write: the others never ran.
    const std::string own[] = {"refused", "after its writes"};
    for (std::size_t i = 0; i < 4; ++i) {
      const std::string error = text_of(errors[i]), expected = i % 2 && !locked ? own[i / 2] : others_error;
      EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
    EXPECT_EQ(hook_commits < 0 ? -1 : commits.second, hook_commits);
    EXPECT_EQ(sqlite::busy_retries() - retries, locked ? 3u : 0u);  // one wait of 300 ms
    EXPECT_EQ(sql(path,
                  "SELECT session_id_string FROM entry ORDER BY id; SELECT count(*) FROM smtp_sender; "
                  "SELECT count(*) FROM smtp_recipient_esmtp; SELECT count(*) FROM kavren_analysis;"),
              rows);
    EXPECT_NO_THROW(db.put_entry(full_entry("d")));  // the connection goes on
  }
}

// A hostile run-as user owns the spool directory: a link planted for
// queue.db, its log, the log's index or a journal must never make root write
// where it points: planted before the open, the open fails; planted in place
// of the log or its index while the database is open, the writes and the
// close go on with the files already open.
TEST(planted_link_test, no_file_of_the_database_is_ever_opened_through_a_link) {
  // Planted in the spool; a second name of a file outside (else a symbolic
  // link to a missing one); planted before the open.
  std::vector<std::tuple<const char*, bool, bool>> rows;
  for (const char* name : {"queue.db", "queue.db-journal", "queue.db-wal", "queue.db-shm"})
    for (const bool hard : {false, true}) rows.emplace_back(name, hard, true);
  for (const char* name : {"queue.db-wal", "queue.db-shm"})
    for (const bool hard : {false, true}) rows.emplace_back(name, hard, false);
  for (const auto& [name, hard, before_open] : rows) {
    SCOPED_TRACE(std::string(name) + (hard ? " hard link" : " symlink") + (before_open ? "" : " later"));
    temp_dir_t spool, elsewhere;
    write_file((elsewhere / "outside").string(), "keep");
    const auto plant = [&] {
      fs::remove(spool / name);
      hard ? fs::create_hard_link(elsewhere / "outside", spool / name)
           : fs::create_symlink(elsewhere / "missing", spool / name);
    };
    if (before_open) {
      plant();
      const std::string error =
          text_of(mq::util::thrown_by([&] { metadata_writer_t opened(spool.file("queue.db"), false); }));
      EXPECT_NE(error.find(std::string(name) + (hard ? " has 2 hard links" : " is a symbolic link")), std::string::npos)
          << error;
    } else {
      {
        metadata_writer_t opened(spool.file("queue.db"), false);
        opened.put_entry(full_entry("a"));
        plant();
        for (int i = 0; i < 50; ++i) opened.put_entry(full_entry("b"));
        opened.checkpoint_if_due();
      }
      EXPECT_EQ(sql(spool.file("queue.db"), "SELECT count(*) FROM entry;"), std::vector<std::string>{"51"});
    }
    EXPECT_EQ(read_file((elsewhere / "outside").string()), "keep");
    EXPECT_FALSE(fs::exists(elsewhere / "missing"));
  }
}

}  // namespace
}  // namespace mq::store
