// Requests to the real daemon over both sockets: real frames, real
// descriptors, a real store behind them.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "support/peers.h"
#include "support/process.h"

namespace {

using mq::test::client_peer_t;
using mq::test::sorter_peer_t;
using request_t = mq::Sorter2MailQuarantineMessage;
using response_t = mq::MailQuarantine2SorterMessage;

request_t request(request_t::Tag tag, std::uint64_t id) {
  request_t m;
  m.set_tag(tag);
  m.set_entry_id(id);
  return m;
}

// The bytes and envelope of entry `id`.
response_t get(sorter_peer_t& s, std::uint64_t id, std::string* content) {
  mq::util::unique_fd_t fd;
  const response_t r = s.call(request(request_t::GET_ENTRY_REQUEST, id), -1, &fd);
  EXPECT_EQ(response_t::GET_ENTRY_RESPONSE, r.tag()) << r.error().what();
  if (fd) {
    *content = mq::test::read_fd(fd.get());
    EXPECT_EQ(O_RDONLY, ::fcntl(fd.get(), F_GETFL) & O_ACCMODE);
  } else {
    ADD_FAILURE() << "no descriptor";
  }
  return r;
}

// Every frame queued on the connection before the answer to a probe.
std::vector<response_t> frames_before_probe(sorter_peer_t& peer) {
  request_t probe = request(request_t::GET_ENTRY_IDS_REQUEST, 0);
  probe.set_status(mq::SMTP_FRESH);
  probe.set_next_access_ts(0);
  probe.set_limit(1);
  probe.set_serial(peer.next_serial());
  peer.send(probe);
  std::vector<response_t> before;
  for (response_t m = peer.read(); m.serial() != probe.serial() || m.tag() != response_t::GET_ENTRY_IDS_RESPONSE;
       m = peer.read())
    before.push_back(m);
  return before;
}

class service : public ::testing::Test {
 protected:
  mq::test::running_quarantine_t q;
};

TEST_F(service, put_then_get_gives_back_the_bytes_and_the_envelope) {
  sorter_peer_t s(q.sorter_socket());
  const std::string content = mq::test::pattern(300000) + std::string("\0\r\n", 3);
  // A new entry starts at 0 attempts whatever the Sorter says.
  auto e = mq::test::parse<mq::Entry>(
      R"(session_id: "S1" received_ts: 111 next_access_ts: 222 attempts: 9
         smtp_connect { helo: "relay.example" address: "192.0.2.7" port: 2525 proto: "ESMTP" }
         smtp_sender { sender: "from@example" esmtp: "SIZE=100" }
         smtp_recipient { recipient: "to1@example" esmtp: "NOTIFY=NEVER" }
         smtp_recipient { recipient: "to2@example" })");
  const std::uint64_t id = s.put(content, mq::BCC_ACCEPTED, e);

  std::string got;
  const response_t g = get(s, id, &got);
  EXPECT_EQ(content, got);
  EXPECT_EQ(id, g.entry_id());
  EXPECT_EQ(mq::BCC_ACCEPTED, g.status());
  e.set_attempts(0);
  e.set_message_size(content.size());
  EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(e, g.entry())) << g.entry().DebugString();
}

TEST_F(service, updates_replace_the_file_or_only_the_metadata_and_remove_ends_it) {
  sorter_peer_t s(q.sorter_socket());
  const std::uint64_t id = s.put("first version\n", mq::SMTP_FRESH);
  request_t update = request(request_t::UPDATE_ENTRY_REQUEST, id);
  const std::string second = "second, longer version\n";
  update.mutable_entry_update()->set_message_size(second.size());
  response_t r = s.call(update, mq::test::memory_file_fd(second).get());
  ASSERT_EQ(response_t::UPDATE_ENTRY_RESPONSE, r.tag()) << r.error().what();
  std::string got;
  EXPECT_EQ(second.size(), get(s, id, &got).entry().message_size());
  EXPECT_EQ(second, got);

  // Metadata only: a stated size without a file changes nothing.
  update = mq::test::parse<request_t>(
      "tag: UPDATE_ENTRY_REQUEST entry_id: " + std::to_string(id) +
      R"( entry_update { attempts: 4 next_access_ts: 5000 status: SMTP_ACCEPTED message_size: 1
                         smtp_recipient { recipient: "only@example" } })");
  r = s.call(update);
  ASSERT_EQ(response_t::UPDATE_ENTRY_RESPONSE, r.tag()) << r.error().what();
  r = get(s, id, &got);
  EXPECT_EQ(second, got);
  EXPECT_EQ(second.size(), r.entry().message_size());
  EXPECT_EQ(mq::SMTP_ACCEPTED, r.status());
  EXPECT_EQ(4u, r.entry().attempts());
  EXPECT_EQ(5000u, r.entry().next_access_ts());
  ASSERT_EQ(1, r.entry().smtp_recipient_size());
  EXPECT_EQ("only@example", r.entry().smtp_recipient(0).recipient());

  r = s.call(request(request_t::REMOVE_ENTRY_REQUEST, id));
  EXPECT_EQ(response_t::REMOVE_ENTRY_RESPONSE, r.tag()) << r.error().what();
  mq::util::unique_fd_t fd;
  r = s.call(request(request_t::GET_ENTRY_REQUEST, id), -1, &fd);
  EXPECT_EQ(response_t::ALARM, r.tag());
  EXPECT_NE(ov::EC_OK, r.error().code());
  EXPECT_FALSE(fd);
  EXPECT_FALSE(r.has_entry());
}

TEST_F(service, a_flush_notifies_subscribers_once_with_the_keys_at_time_0) {
  sorter_peer_t watcher(q.sorter_socket());
  sorter_peer_t other(q.sorter_socket());
  const request_t subscribe = request(request_t::SUBSCRIBE_TO_QUEUE_CHANGES, 0);
  watcher.send(subscribe);
  watcher.send(subscribe);  // no second notification for this
  EXPECT_TRUE(frames_before_probe(watcher).empty());

  mq::Entry e;
  e.set_next_access_ts(900);
  std::vector<std::uint64_t> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(other.put("m" + std::to_string(i), mq::BCC_FRESH, e));
  const std::uint64_t elsewhere = other.put("another queue", mq::SMTP_FRESH, e);
  e.set_next_access_ts(0);
  other.put("already due", mq::BCC_FRESH, e);

  client_peer_t admin(q.client_socket());
  EXPECT_EQ("Flushed 3 entries", admin.flush(mq::BCC_FRESH).report());
  const std::vector<response_t> heard = frames_before_probe(watcher);
  ASSERT_EQ(1u, heard.size());
  EXPECT_EQ(response_t::QUEUE_CHANGE_NOTIFICATION, heard[0].tag());
  EXPECT_FALSE(heard[0].has_serial());
  EXPECT_EQ(mq::BCC_FRESH, heard[0].status());
  std::vector<std::uint64_t> keys;
  for (const auto& k : heard[0].queue_key_list()) {
    keys.push_back(k.entry_id());
    EXPECT_EQ(0u, k.next_access_ts());
  }
  EXPECT_EQ(ids, keys);
  EXPECT_TRUE(frames_before_probe(other).empty());
  // The other queue kept its time.
  std::string got;
  EXPECT_EQ(900u, get(other, elsewhere, &got).entry().next_access_ts());

  // Nothing left to reset: nobody hears anything.
  EXPECT_EQ("Flushed 0 entries", admin.flush(mq::BCC_FRESH).report());
  EXPECT_TRUE(frames_before_probe(watcher).empty());
}

TEST_F(service, health_check_reports_and_repairs_an_orphaned_file) {
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
  const auto m = mq::test::parse<request_t>(
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

TEST_F(service, paging_loses_nothing_between_equal_times) {
  // 250 puts in flight at once, all at one time, answered in any order;
  // one without sender or recipients; one in another status.
  sorter_peer_t s(q.sorter_socket());
  auto put = mq::test::parse<request_t>(R"(tag: PUT_ENTRY_REQUEST status: BCC_ACCEPTED
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
