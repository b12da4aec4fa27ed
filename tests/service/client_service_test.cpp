// The client socket of the real daemon, and paging over both sockets.
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/peers.h"
#include "support/process.h"

namespace {

using mq::test::client_peer_t;
using mq::test::sorter_peer_t;
using sorter_request_t = mq::Sorter2MailQuarantineMessage;

class client_service : public ::testing::Test {
 protected:
  mq::test::running_quarantine_t q;
};

TEST_F(client_service, health_check_reports_and_repairs_an_orphaned_file) {
  client_peer_t c(q.client_socket());
  EXPECT_EQ("Ok", c.check(false).report());
  const auto fixed = c.check(true);
  EXPECT_TRUE(fixed.has_report());
  EXPECT_EQ("", fixed.report());
  const std::string orphan = q.spool_dir() + "/queue/orphan.eml";
  mq::test::write_file(orphan, "0123456789");
  EXPECT_EQ("1 orphaned message files (10 bytes)\n", c.check(false).report());
  EXPECT_TRUE(std::filesystem::exists(orphan));
  EXPECT_EQ("Removed 1/1 orphaned message files (10/10 bytes)\n", c.check(true).report());
  EXPECT_FALSE(std::filesystem::exists(orphan));
}

// One page of keys after (after_id, after_ts): GET_ENTRY_IDS on the Sorter
// socket or GET_QUEUE_CHUNK on the client socket.
using page_t = std::vector<std::uint64_t>;

page_t ids_page(sorter_peer_t& s, client_peer_t&, std::uint64_t after_id, std::uint64_t after_ts, std::uint64_t limit) {
  const auto m = mq::test::parse<sorter_request_t>(
      "tag: GET_ENTRY_IDS_REQUEST status: BCC_ACCEPTED entry_id: " + std::to_string(after_id) +
      " next_access_ts: " + std::to_string(after_ts) + " limit: " + std::to_string(limit));
  const auto r = s.call(m);
  EXPECT_EQ(mq::MailQuarantine2SorterMessage::GET_ENTRY_IDS_RESPONSE, r.tag()) << r.error().what();
  page_t page;
  for (const auto& key : r.queue_key_list()) {
    EXPECT_EQ(42u, key.next_access_ts());
    page.push_back(key.entry_id());
  }
  return page;
}

page_t chunk_page(sorter_peer_t&, client_peer_t& c, std::uint64_t after_id, std::uint64_t after_ts,
                  std::uint64_t limit) {
  const auto r = c.chunk(mq::BCC_ACCEPTED, after_id, after_ts, limit);
  EXPECT_FALSE(r.has_error()) << r.error().what();
  page_t page;
  for (const auto& e : r.entry()) {
    EXPECT_EQ(42u, e.next_access_ts());
    EXPECT_EQ(0u, e.attempts());
    EXPECT_EQ("", e.session_id());
    EXPECT_EQ(e.sender().empty() ? 0 : 2, e.recipient_size());
    if (!e.sender().empty()) {
      EXPECT_EQ("r1@example", e.recipient(0));
    }
    page.push_back(e.id());
  }
  return page;
}

TEST_F(client_service, paging_loses_nothing_between_equal_times) {
  // 250 puts in flight at once, all at one time, answered in any order;
  // one without sender or recipients; one in another status.
  sorter_peer_t s(q.sorter_socket());
  auto put = mq::test::parse<sorter_request_t>(R"(tag: PUT_ENTRY_REQUEST status: BCC_ACCEPTED
      entry { next_access_ts: 42 message_size: 2 smtp_sender { sender: "s@example" }
              smtp_recipient { recipient: "r1@example" } smtp_recipient { recipient: "r2@example" } })");
  for (std::uint32_t serial = 1; serial <= 250; ++serial) {
    put.set_serial(serial);
    s.send(put, mq::test::memory_file_fd("m\n").get());
  }
  std::set<std::uint64_t> stored;
  std::set<std::uint32_t> serials;
  for (int i = 0; i < 250; ++i) {
    const auto r = s.read();
    ASSERT_EQ(mq::MailQuarantine2SorterMessage::PUT_ENTRY_RESPONSE, r.tag()) << r.error().what();
    serials.insert(r.serial());
    stored.insert(r.entry_id());
  }
  EXPECT_EQ(250u, serials.size());
  mq::Entry bare;
  bare.set_next_access_ts(42);
  stored.insert(s.put("x", mq::BCC_ACCEPTED, bare));
  s.put("other status\n", mq::SMTP_ACCEPTED, bare);
  ASSERT_EQ(251u, stored.size());

  client_peer_t c(q.client_socket());
  const struct {
    const char* name;
    page_t (*page)(sorter_peer_t&, client_peer_t&, std::uint64_t, std::uint64_t, std::uint64_t);
    std::uint64_t limit;
    std::vector<std::size_t> sizes;  // empty: every page holds one key
  } rows[] = {{"GET_ENTRY_IDS limit 1", ids_page, 1, {}},
              {"GET_ENTRY_IDS default limit", ids_page, 0, {100, 100, 51}},
              {"GET_QUEUE_CHUNK limit 1", chunk_page, 1, {}},
              {"GET_QUEUE_CHUNK default limit", chunk_page, 0, {100, 100, 51}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::uint64_t> walked;
    std::vector<std::size_t> sizes;
    for (page_t p = row.page(s, c, 0, 0, row.limit); !p.empty(); p = row.page(s, c, walked.back(), 42, row.limit)) {
      sizes.push_back(p.size());
      walked.insert(walked.end(), p.begin(), p.end());
    }
    EXPECT_EQ(std::vector<std::uint64_t>(stored.begin(), stored.end()), walked);
    EXPECT_EQ(row.sizes.empty() ? std::vector<std::size_t>(251, 1) : row.sizes, sizes);
  }
}

}  // namespace
