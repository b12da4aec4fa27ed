#include <algorithm>
#include <tuple>

#include <gtest/gtest.h>

#include "db_test_support.h"
#include "store/metadata_db.h"

namespace mq::store {
namespace {

using db_test::temp_dir_t;

constexpr std::uint64_t two_63 = std::uint64_t(1) << 63;

using key_list_t = std::vector<std::pair<std::int64_t, std::uint64_t>>;  // (id, time)

class queue_page_test : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = std::make_unique<metadata_db_t>(dir_.file("queue.db"), false);
    // Hundreds of commits: durability does not matter to these tests.
    db_->connection().execute("PRAGMA synchronous=OFF;");
  }

  // 250 entries of one status whose times repeat in runs, so that many
  // share a time and page boundaries fall between equal times; entries of
  // another status interleaved; three beyond 2^63.
  void fill() {
    for (int i = 0; i < 250; ++i) {
      auto m = db_test::bare_entry(static_cast<std::uint64_t>((i * 7) % 25) * 10, smtp_accepted);
      m.session_id = "s" + std::to_string(i);
      m.smtp_sender.sender = "from" + std::to_string(i) + "@example.org";
      for (int r = 0; r < i % 3; ++r) m.smtp_recipients.push_back({"to" + std::to_string(r) + "@example.org", {"X"}});
      const auto id = static_cast<std::int64_t>(db_->put_entry(m));
      expected_.emplace_back(id, m.next_access_ts);
      if (i % 9 == 0) db_->put_entry(db_test::bare_entry(m.next_access_ts, smtp_fresh));
    }
    for (std::uint64_t t : {two_63, two_63 + 1, ~std::uint64_t(0)}) {
      const auto id = static_cast<std::int64_t>(db_->put_entry(db_test::bare_entry(t, smtp_accepted)));
      high_.emplace_back(id, t);
    }
    auto order = [](const auto& a, const auto& b) { return std::tie(a.second, a.first) < std::tie(b.second, b.first); };
    std::sort(expected_.begin(), expected_.end(), order);
    std::sort(high_.begin(), high_.end(), order);
  }

  // Walks the queue page by page from the given key; the sizes of the pages.
  key_list_t walk(std::uint64_t limit, std::vector<std::size_t>& sizes, std::int64_t id = 0, std::uint64_t ts = 0) {
    key_list_t keys;
    queue_chunk_request_t request;
    request.status = smtp_accepted;
    request.limit = limit;
    request.entry_id = id;
    request.next_access_ts = ts;
    for (;;) {
      const auto page = db_->get_queue_chunk(request);
      sizes.push_back(page.size());
      if (page.empty() || sizes.size() > 1000) break;
      for (const auto& key : page) keys.emplace_back(key.entry_id, key.next_access_ts);
      request.entry_id = page.back().entry_id;
      request.next_access_ts = page.back().next_access_ts;
    }
    return keys;
  }

  temp_dir_t dir_;
  std::unique_ptr<metadata_db_t> db_;
  key_list_t expected_;
  key_list_t high_;
};

TEST_F(queue_page_test, limit_zero_pages_by_one_hundred_in_key_order) {
  fill();
  std::vector<std::size_t> sizes;
  EXPECT_EQ(walk(0, sizes), expected_);
  EXPECT_EQ(sizes, (std::vector<std::size_t>{100, 100, 50, 0}));
}

TEST_F(queue_page_test, limit_one_loses_nothing_between_equal_times) {
  fill();
  std::vector<std::size_t> sizes;
  EXPECT_EQ(walk(1, sizes), expected_);
  ASSERT_EQ(sizes.size(), 251u);
  EXPECT_TRUE(std::all_of(sizes.begin(), sizes.end() - 1, [](std::size_t n) { return n == 1; }));
}

TEST_F(queue_page_test, times_from_two_to_the_63_sort_first_and_a_walk_from_zero_skips_them) {
  fill();
  std::vector<std::size_t> sizes;
  // Stored as negative numbers: a walk that starts at the smallest of them
  // sees them before everything else.
  auto all = walk(37, sizes, 0, two_63);
  key_list_t want = high_;
  want.insert(want.end(), expected_.begin(), expected_.end());
  EXPECT_EQ(all, want);
  EXPECT_EQ(db_test::sql_value(dir_.file("queue.db"),
                               "SELECT next_access_ts FROM entry ORDER BY next_access_ts, id LIMIT 1;"),
            "-9223372036854775808");
}

TEST_F(queue_page_test, briefs_page_like_keys_and_carry_sender_session_and_recipients) {
  fill();
  queue_chunk_request_t request;
  request.status = smtp_accepted;
  request.limit = 7;
  key_list_t keys;
  std::size_t pages = 0;
  for (;;) {
    const auto page = db_->get_queue_chunk_brief(request);
    if (page.empty()) break;
    ++pages;
    EXPECT_LE(page.size(), 7u);
    for (const auto& brief : page) {
      keys.emplace_back(brief.id, brief.next_access_ts);
      const auto full = db_->get_entry(brief.id);
      EXPECT_EQ(brief.attempts, full.attempts);
      EXPECT_EQ(brief.session_id, *full.session_id);
      EXPECT_EQ(brief.sender, full.smtp_sender.sender);
      std::vector<std::string> recipients;
      for (const auto& r : full.smtp_recipients) recipients.push_back(r.recipient);
      EXPECT_EQ(brief.recipients, recipients);
    }
    request.entry_id = page.back().id;
    request.next_access_ts = page.back().next_access_ts;
  }
  EXPECT_EQ(pages, 36u);  // 250 / 7 rounded up
  EXPECT_EQ(keys, expected_);
}

TEST_F(queue_page_test, brief_without_session_sender_or_recipients_has_empty_fields) {
  auto m = db_test::bare_entry(4, bcc_fresh);
  m.smtp_sender.sender.clear();
  m.attempts = 2;
  const auto id = static_cast<std::int64_t>(db_->put_entry(m));
  db_test::sql(dir_.file("queue.db"), "DELETE FROM smtp_sender;");
  queue_chunk_request_t request;
  request.status = bcc_fresh;
  const auto page = db_->get_queue_chunk_brief(request);
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page[0].id, id);
  EXPECT_EQ(page[0].attempts, 2u);
  EXPECT_EQ(page[0].next_access_ts, 4u);
  EXPECT_EQ(page[0].session_id, "");
  EXPECT_EQ(page[0].sender, "");
  EXPECT_TRUE(page[0].recipients.empty());
}

TEST_F(queue_page_test, flushed_entries_are_not_seen_again_by_a_walk_in_progress) {
  std::vector<std::int64_t> ids;
  for (std::uint64_t t : {10, 20, 30}) ids.push_back(static_cast<std::int64_t>(db_->put_entry(db_test::bare_entry(t))));
  queue_chunk_request_t request;
  request.status = smtp_fresh;
  request.limit = 1;
  auto page = db_->get_queue_chunk(request);
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page[0].entry_id, ids[0]);
  EXPECT_EQ(db_->flush_queue(smtp_fresh).size(), 3u);
  request.entry_id = page[0].entry_id;
  request.next_access_ts = page[0].next_access_ts;
  EXPECT_TRUE(db_->get_queue_chunk(request).empty());
  // A new walk finds them first, at time 0, in id order.
  request = queue_chunk_request_t{};
  request.status = smtp_fresh;
  page = db_->get_queue_chunk(request);
  ASSERT_EQ(page.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(page[i].entry_id, ids[i]);
    EXPECT_EQ(page[i].next_access_ts, 0u);
  }
}

}  // namespace
}  // namespace mq::store
