// The client socket of the real daemon: management requests over real
// frames against a real store.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/protocol_peer.h"
#include "support/running_quarantine.h"

namespace {

using mq::test::client_peer_t;
using mq::test::sorter_peer_t;
using request_t = mq::Client2MailQuarantineMessage;
using response_t = mq::MailQuarantine2ClientMessage;

class ClientService : public ::testing::Test {
 protected:
  mq::test::running_quarantine_t q;
};

TEST_F(ClientService, StatisticsOfAnEmptyStoreAreFourZeroPairs) {
  client_peer_t c(q.client_socket());
  const response_t r = c.stat();
  EXPECT_EQ(response_t::GET_QUEUE_STAT_RESPONSE, r.tag());
  for (const auto* s : {&r.smtp_fresh_stat(), &r.smtp_accepted_stat(), &r.bcc_fresh_stat(), &r.bcc_accepted_stat()}) {
    EXPECT_EQ(0u, s->total_messages());
    EXPECT_EQ(0u, s->total_bytes());
  }
  EXPECT_TRUE(r.has_bcc_accepted_stat());
  EXPECT_TRUE(q.daemon().wait_log("Debug: Client --> GET_QUEUE_STAT_REQUEST"));
  EXPECT_TRUE(q.daemon().wait_log("Debug: Client <-- GET_QUEUE_STAT_RESPONSE"));
}

TEST_F(ClientService, StatisticsFollowTheStatuses) {
  sorter_peer_t s(q.sorter_socket());
  s.put("12345", mq::SMTP_FRESH);
  s.put("123", mq::SMTP_FRESH);
  s.put("1234567", mq::BCC_FRESH);
  client_peer_t c(q.client_socket());
  const response_t r = c.stat();
  EXPECT_EQ(2u, r.smtp_fresh_stat().total_messages());
  EXPECT_EQ(8u, r.smtp_fresh_stat().total_bytes());
  EXPECT_EQ(0u, r.smtp_accepted_stat().total_messages());
  EXPECT_EQ(1u, r.bcc_fresh_stat().total_messages());
  EXPECT_EQ(7u, r.bcc_fresh_stat().total_bytes());
  EXPECT_EQ(0u, r.bcc_accepted_stat().total_bytes());
}

TEST_F(ClientService, ChunksPageThroughEqualTimesWithoutLoss) {
  sorter_peer_t s(q.sorter_socket());
  mq::Sorter2MailQuarantineMessage put;
  put.set_tag(mq::Sorter2MailQuarantineMessage::PUT_ENTRY_REQUEST);
  put.set_status(mq::BCC_ACCEPTED);
  put.mutable_entry()->set_next_access_ts(7);
  put.mutable_entry()->set_message_size(2);
  put.mutable_entry()->mutable_smtp_sender()->set_sender("s@example");
  put.mutable_entry()->add_smtp_recipient()->set_recipient("r1@example");
  put.mutable_entry()->add_smtp_recipient()->set_recipient("r2@example");
  for (std::uint32_t serial = 1; serial <= 250; ++serial) {
    put.set_serial(serial);
    auto file = mq::test::memory_file_fd("m\n");
    s.send(put, file.get());
  }
  std::set<std::uint64_t> stored;
  for (int i = 0; i < 250; ++i) {
    const auto r = s.read();
    ASSERT_EQ(mq::MailQuarantine2SorterMessage::PUT_ENTRY_RESPONSE, r.tag()) << r.error().what();
    stored.insert(r.entry_id());
  }
  mq::Entry bare;
  bare.set_next_access_ts(7);
  const std::uint64_t bare_id = s.put("x", mq::BCC_ACCEPTED, bare);
  stored.insert(bare_id);

  client_peer_t c(q.client_socket());
  for (std::uint64_t limit : {1u, 0u}) {
    SCOPED_TRACE(limit);
    std::vector<std::uint64_t> walked;
    std::vector<int> pages;
    std::uint64_t after_id = 0, after_ts = 0;
    for (;;) {
      const response_t r = c.chunk(mq::BCC_ACCEPTED, after_id, after_ts, limit);
      ASSERT_EQ(response_t::GET_QUEUE_CHUNK_RESPONSE, r.tag());
      ASSERT_FALSE(r.has_error()) << r.error().what();
      if (r.entry_size() == 0) break;
      pages.push_back(r.entry_size());
      for (const auto& e : r.entry()) {
        walked.push_back(e.id());
        EXPECT_EQ(7u, e.next_access_ts());
        EXPECT_EQ(0u, e.attempts());
        EXPECT_TRUE(e.has_session_id());
        EXPECT_EQ("", e.session_id());
        if (e.id() == bare_id) {
          EXPECT_EQ("", e.sender());
          EXPECT_EQ(0, e.recipient_size());
        } else {
          EXPECT_EQ("s@example", e.sender());
          ASSERT_EQ(2, e.recipient_size());
          EXPECT_EQ("r1@example", e.recipient(0));
          EXPECT_EQ("r2@example", e.recipient(1));
        }
      }
      after_id = walked.back();
      after_ts = 7;
    }
    EXPECT_EQ(std::vector<std::uint64_t>(stored.begin(), stored.end()), walked);
    if (limit == 0) {
      EXPECT_EQ((std::vector<int>{100, 100, 51}), pages);
    } else {
      EXPECT_EQ(251u, pages.size());
    }
  }
}

TEST_F(ClientService, FlushMakesAQueueDueAndReports) {
  sorter_peer_t s(q.sorter_socket());
  mq::Entry later;
  later.set_next_access_ts(500);
  const std::uint64_t a = s.put("a", mq::BCC_FRESH, later);
  const std::uint64_t b = s.put("b", mq::BCC_FRESH, later);
  const std::uint64_t untouched = s.put("c", mq::SMTP_FRESH, later);

  client_peer_t c(q.client_socket());
  response_t r = c.flush(mq::BCC_FRESH);
  EXPECT_EQ(response_t::FLUSH_QUEUE_RESPONSE, r.tag());
  EXPECT_EQ("Flushed 2 entries", r.report());
  r = c.chunk(mq::BCC_FRESH, 0, 0, 0);
  ASSERT_EQ(2, r.entry_size());
  EXPECT_EQ(a, r.entry(0).id());
  EXPECT_EQ(0u, r.entry(0).next_access_ts());
  EXPECT_EQ(b, r.entry(1).id());
  EXPECT_EQ(0u, r.entry(1).next_access_ts());
  r = c.chunk(mq::SMTP_FRESH, 0, 0, 0);
  ASSERT_EQ(1, r.entry_size());
  EXPECT_EQ(untouched, r.entry(0).id());
  EXPECT_EQ(500u, r.entry(0).next_access_ts());
}

TEST_F(ClientService, HealthCheckReportsAndRepairsAnOrphanedFile) {
  client_peer_t c(q.client_socket());
  EXPECT_EQ("Ok", c.check(false).report());
  response_t r = c.check(true);
  EXPECT_TRUE(r.has_report());
  EXPECT_EQ("", r.report());

  const std::string orphan = q.spool_dir() + "/queue/orphan.eml";
  std::ofstream(orphan) << "0123456789";
  EXPECT_EQ("1 orphaned message files (10 bytes)\n", c.check(false).report());
  EXPECT_TRUE(std::filesystem::exists(orphan));
  EXPECT_EQ("Removed 1/1 orphaned message files (10/10 bytes)\n", c.check(true).report());
  EXPECT_FALSE(std::filesystem::exists(orphan));
}

TEST_F(ClientService, AMalformedRequestEndsOnlyItsConnection) {
  client_peer_t bystander(q.client_socket());
  {
    client_peer_t victim(q.client_socket());
    request_t m;
    m.set_tag(request_t::GET_QUEUE_STAT_REQUEST);
    victim.send(m);
    EXPECT_TRUE(victim.wait_closed());
  }
  EXPECT_TRUE(q.daemon().wait_log(
      "Error: Client: Message mq.Client2MailQuarantineMessage tagged GET_QUEUE_STAT_REQUEST: required field serial is "
      "not set"));
  {
    client_peer_t victim(q.client_socket());
    request_t m;
    m.set_tag(request_t::FLUSH_QUEUE_REQUEST);
    m.set_serial(1);
    victim.send(m);
    EXPECT_TRUE(victim.wait_closed());
  }
  EXPECT_TRUE(q.daemon().wait_log(
      "Error: Client: Message mq.Client2MailQuarantineMessage tagged FLUSH_QUEUE_REQUEST: required field status is "
      "not set"));
  EXPECT_FALSE(bystander.stat().has_error());
  EXPECT_FALSE(q.daemon().exited());
  EXPECT_EQ(107, q.stop());
}

TEST_F(ClientService, ADisconnectDuringAHealthCheckIsSilent) {
  {
    client_peer_t leaving(q.client_socket());
    request_t check;
    check.set_tag(request_t::CHECK_HEALTH_REQUEST);
    check.set_serial(1);
    leaving.send(check);
  }
  ASSERT_TRUE(q.daemon().wait_log("Debug: Client: disconnected"));
  client_peer_t next(q.client_socket());
  EXPECT_EQ("Ok", next.check(false).report());
  EXPECT_EQ(0u, q.daemon().count_log("Error: Client"));
}

std::string path_of_length(const std::string& dir, std::size_t length, char fill) {
  return dir + "/" + std::string(length - dir.size() - 1, fill);
}

TEST(SocketPaths, OneByteBeyondTheAddressFieldIsRefused) {
  mq::test::temp_dir_t dir;
  auto config = mq::test::make_test_config(dir.path());
  config.set_client_socket_path(path_of_length(dir.path(), 108, 'c'));
  mq::test::daemon_process_t daemon(mq::test::daemon_options());
  daemon.answer_config(config, 3);
  EXPECT_EQ(102, daemon.wait_exit());
  EXPECT_TRUE(daemon.wait_log("Cannot apply configuration (revision 3): "));
  EXPECT_EQ(1u, daemon.count_log("File name too long"));
  EXPECT_FALSE(std::filesystem::exists(config.client_socket_path()));
}

TEST(SocketPaths, TheLongestPathThatFitsIsServed) {
  mq::test::temp_dir_t dir;
  auto config = mq::test::make_test_config(dir.path());
  config.set_sorter_socket_path(path_of_length(dir.path(), 107, 's'));
  config.set_client_socket_path(path_of_length(dir.path(), 107, 'c'));
  mq::test::daemon_process_t daemon(mq::test::daemon_options());
  daemon.answer_config(config, 1);
  daemon.wait_message(ov::MailQuarantine2OverseerMessage::MY_INFO_NOTIFICATION);
  sorter_peer_t s(config.sorter_socket_path());
  EXPECT_EQ(config.spool_dir(), s.store_path());
  client_peer_t c(config.client_socket_path());
  EXPECT_FALSE(c.stat().has_error());
  struct stat st {};
  ASSERT_EQ(0, ::stat(config.client_socket_path().c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 0777u);
}

}  // namespace
