// The Sorter socket of the real daemon: real frames, real descriptors, a
// real store behind them.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/protocol_peer.h"
#include "support/running_quarantine.h"

namespace {

using mq::test::client_peer_t;
using mq::test::sorter_peer_t;
using request_t = mq::Sorter2MailQuarantineMessage;
using response_t = mq::MailQuarantine2SorterMessage;

request_t get_request(std::uint64_t id) {
  request_t m;
  m.set_tag(request_t::GET_ENTRY_REQUEST);
  m.set_entry_id(id);
  return m;
}

request_t ids_request(mq::Status status, std::uint64_t after_id, std::uint64_t after_ts, std::uint64_t limit) {
  request_t m;
  m.set_tag(request_t::GET_ENTRY_IDS_REQUEST);
  m.set_status(status);
  m.set_entry_id(after_id);
  m.set_next_access_ts(after_ts);
  m.set_limit(limit);
  return m;
}

// A probe on the connection: every frame queued for it before the probe's
// answer is returned, in order.
std::vector<response_t> frames_before_probe(sorter_peer_t& peer) {
  request_t probe = ids_request(mq::SMTP_FRESH, 0, 0, 1);
  const std::uint32_t serial = peer.next_serial();
  probe.set_serial(serial);
  peer.send(probe);
  std::vector<response_t> before;
  for (;;) {
    response_t m = peer.read();
    if (m.tag() == response_t::GET_ENTRY_IDS_RESPONSE && m.serial() == serial) return before;
    before.push_back(m);
  }
}

class SorterService : public ::testing::Test {
 protected:
  mq::test::running_quarantine_t q;
};

TEST_F(SorterService, EveryConnectionStartsWithTheStoreState) {
  sorter_peer_t a(q.sorter_socket(), false);
  sorter_peer_t b(q.sorter_socket(), false);
  for (sorter_peer_t* p : {&b, &a}) {
    const response_t m = p->read();
    EXPECT_EQ(response_t::STORE_STATE_NOTIFICATION, m.tag());
    EXPECT_EQ(q.spool_dir(), m.store_path());
    EXPECT_FALSE(m.has_serial());
  }
  EXPECT_TRUE(q.daemon().wait_log("Sorter <-- STORE_STATE_NOTIFICATION", mq::test::default_timeout_ms, 2));
}

TEST_F(SorterService, PutThenGetGivesBackTheBytesAndTheEnvelope) {
  sorter_peer_t s(q.sorter_socket());
  std::string content = "From: a@example\r\nSubject: test\r\n\r\n";
  for (int i = 0; i < 5000; ++i) content += "line " + std::to_string(i) + "\r\n";
  content += std::string("\0\xff\x01 binary tail", 16);

  mq::Entry e;
  e.set_session_id("S1");
  e.mutable_smtp_connect()->set_helo("relay.example");
  e.mutable_smtp_connect()->set_address("192.0.2.7");
  e.mutable_smtp_connect()->set_port(2525);
  e.mutable_smtp_connect()->set_proto("ESMTP");
  e.mutable_smtp_sender()->set_sender("from@example");
  e.mutable_smtp_sender()->add_esmtp("SIZE=100");
  auto* r = e.add_smtp_recipient();
  r->set_recipient("to1@example");
  r->add_esmtp("NOTIFY=NEVER");
  e.add_smtp_recipient()->set_recipient("to2@example");
  e.set_received_ts(111);
  e.set_next_access_ts(222);
  e.set_attempts(9);
  const std::uint64_t id = s.put(content, mq::BCC_ACCEPTED, e);
  EXPECT_GT(id, 0u);

  mq::util::unique_fd_t fd;
  const response_t got = s.call(get_request(id), -1, &fd);
  ASSERT_EQ(response_t::GET_ENTRY_RESPONSE, got.tag()) << got.error().what();
  EXPECT_EQ(id, got.entry_id());
  EXPECT_EQ(mq::BCC_ACCEPTED, got.status());
  ASSERT_TRUE(fd);
  EXPECT_EQ(content, mq::test::read_all(fd.get()));
  EXPECT_EQ(O_RDONLY, ::fcntl(fd.get(), F_GETFL) & O_ACCMODE);
  EXPECT_EQ(-1, ::write(fd.get(), "x", 1));

  const mq::Entry& g = got.entry();
  EXPECT_EQ("S1", g.session_id());
  EXPECT_EQ(content.size(), g.message_size());
  EXPECT_EQ(111u, g.received_ts());
  EXPECT_EQ(222u, g.next_access_ts());
  EXPECT_EQ(0u, g.attempts());
  EXPECT_EQ("relay.example", g.smtp_connect().helo());
  EXPECT_EQ("192.0.2.7", g.smtp_connect().address());
  EXPECT_EQ(2525u, g.smtp_connect().port());
  EXPECT_EQ("ESMTP", g.smtp_connect().proto());
  EXPECT_EQ("from@example", g.smtp_sender().sender());
  ASSERT_EQ(1, g.smtp_sender().esmtp_size());
  EXPECT_EQ("SIZE=100", g.smtp_sender().esmtp(0));
  ASSERT_EQ(2, g.smtp_recipient_size());
  EXPECT_EQ("to1@example", g.smtp_recipient(0).recipient());
  ASSERT_EQ(1, g.smtp_recipient(0).esmtp_size());
  EXPECT_EQ("NOTIFY=NEVER", g.smtp_recipient(0).esmtp(0));
  EXPECT_EQ("to2@example", g.smtp_recipient(1).recipient());

  EXPECT_TRUE(q.daemon().wait_log("Sorter --> PUT_ENTRY_REQUEST"));
  EXPECT_TRUE(q.daemon().wait_log("Sorter <-- GET_ENTRY_RESPONSE"));
}

TEST_F(SorterService, UpdatesReplaceTheFileOrOnlyTheMetadata) {
  sorter_peer_t s(q.sorter_socket());
  const std::uint64_t id = s.put("first version\n", mq::SMTP_FRESH);

  request_t update;
  update.set_tag(request_t::UPDATE_ENTRY_REQUEST);
  update.set_entry_id(id);
  const std::string second = "second, longer version\n";
  update.mutable_entry_update()->set_message_size(second.size());
  auto file = mq::test::memory_file_fd(second);
  response_t r = s.call(update, file.get());
  ASSERT_EQ(response_t::UPDATE_ENTRY_RESPONSE, r.tag()) << r.error().what();

  mq::util::unique_fd_t fd;
  r = s.call(get_request(id), -1, &fd);
  ASSERT_EQ(response_t::GET_ENTRY_RESPONSE, r.tag());
  EXPECT_EQ(second, mq::test::read_all(fd.get()));
  EXPECT_EQ(second.size(), r.entry().message_size());

  // Metadata only: a stated size without a file changes nothing.
  update.Clear();
  update.set_tag(request_t::UPDATE_ENTRY_REQUEST);
  update.set_entry_id(id);
  auto* u = update.mutable_entry_update();
  u->set_attempts(4);
  u->set_next_access_ts(5000);
  u->set_status(mq::SMTP_ACCEPTED);
  u->set_message_size(1);
  u->add_smtp_recipient()->set_recipient("only@example");
  r = s.call(update);
  ASSERT_EQ(response_t::UPDATE_ENTRY_RESPONSE, r.tag()) << r.error().what();

  r = s.call(get_request(id), -1, &fd);
  ASSERT_EQ(response_t::GET_ENTRY_RESPONSE, r.tag());
  EXPECT_EQ(second, mq::test::read_all(fd.get()));
  EXPECT_EQ(second.size(), r.entry().message_size());
  EXPECT_EQ(mq::SMTP_ACCEPTED, r.status());
  EXPECT_EQ(4u, r.entry().attempts());
  EXPECT_EQ(5000u, r.entry().next_access_ts());
  ASSERT_EQ(1, r.entry().smtp_recipient_size());
  EXPECT_EQ("only@example", r.entry().smtp_recipient(0).recipient());
}

TEST_F(SorterService, AfterARemoveAGetAnswersAlarm) {
  sorter_peer_t s(q.sorter_socket());
  const std::uint64_t id = s.put("to be removed\n", mq::SMTP_FRESH);
  request_t remove;
  remove.set_tag(request_t::REMOVE_ENTRY_REQUEST);
  remove.set_entry_id(id);
  response_t r = s.call(remove);
  EXPECT_EQ(response_t::REMOVE_ENTRY_RESPONSE, r.tag()) << r.error().what();

  request_t get = get_request(id);
  get.set_serial(77);
  s.send(get);
  mq::util::unique_fd_t fd;
  r = s.read(&fd);
  EXPECT_EQ(response_t::ALARM, r.tag());
  EXPECT_EQ(77u, r.serial());
  ASSERT_TRUE(r.has_error());
  EXPECT_NE(ov::EC_OK, r.error().code());
  EXPECT_FALSE(r.error().what().empty());
  EXPECT_FALSE(fd);
  EXPECT_FALSE(r.has_entry());

  // Serial 77 is free again for the same kind.
  s.send(get);
  EXPECT_EQ(77u, s.read().serial());
}

TEST_F(SorterService, EntryIdsPageThroughEqualTimesWithoutLoss) {
  sorter_peer_t s(q.sorter_socket());
  // 250 puts in flight at once, answered in any order.
  request_t put;
  put.set_tag(request_t::PUT_ENTRY_REQUEST);
  put.set_status(mq::SMTP_ACCEPTED);
  put.mutable_entry()->set_next_access_ts(42);
  put.mutable_entry()->set_message_size(4);
  for (std::uint32_t serial = 1; serial <= 250; ++serial) {
    put.set_serial(serial);
    auto file = mq::test::memory_file_fd("msg\n");
    s.send(put, file.get());
  }
  std::set<std::uint64_t> stored;
  std::set<std::uint32_t> serials;
  for (int i = 0; i < 250; ++i) {
    const response_t r = s.read();
    ASSERT_EQ(response_t::PUT_ENTRY_RESPONSE, r.tag()) << r.error().what();
    serials.insert(r.serial());
    stored.insert(r.entry_id());
  }
  EXPECT_EQ(250u, serials.size());
  ASSERT_EQ(250u, stored.size());
  s.put("other status\n", mq::SMTP_FRESH);

  for (std::uint64_t limit : {1u, 0u}) {
    SCOPED_TRACE(limit);
    std::vector<std::uint64_t> walked;
    std::vector<std::size_t> pages;
    std::uint64_t after_id = 0, after_ts = 0;
    for (;;) {
      const response_t r = s.call(ids_request(mq::SMTP_ACCEPTED, after_id, after_ts, limit));
      ASSERT_EQ(response_t::GET_ENTRY_IDS_RESPONSE, r.tag()) << r.error().what();
      if (r.queue_key_list_size() == 0) break;
      pages.push_back(static_cast<std::size_t>(r.queue_key_list_size()));
      for (const auto& key : r.queue_key_list()) {
        EXPECT_EQ(42u, key.next_access_ts());
        walked.push_back(key.entry_id());
      }
      after_id = walked.back();
      after_ts = 42;
    }
    EXPECT_EQ(std::vector<std::uint64_t>(stored.begin(), stored.end()), walked);
    if (limit == 0) {
      EXPECT_EQ((std::vector<std::size_t>{100, 100, 50}), pages);
    } else {
      EXPECT_EQ(250u, pages.size());
    }
  }
}

TEST_F(SorterService, AFlushNotifiesSubscribersOnceWithTheKeysAtTimeZero) {
  sorter_peer_t watcher(q.sorter_socket());
  sorter_peer_t other(q.sorter_socket());
  request_t subscribe;
  subscribe.set_tag(request_t::SUBSCRIBE_TO_QUEUE_CHANGES);
  watcher.send(subscribe);
  watcher.send(subscribe);  // no second notification for this
  EXPECT_TRUE(frames_before_probe(watcher).empty());

  mq::Entry e;
  e.set_next_access_ts(900);
  std::vector<std::uint64_t> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(other.put("m" + std::to_string(i), mq::BCC_FRESH, e));
  e.set_next_access_ts(0);
  other.put("already due", mq::BCC_FRESH, e);
  other.put("another queue", mq::SMTP_FRESH);

  client_peer_t admin(q.client_socket());
  auto flushed = admin.flush(mq::BCC_FRESH);
  ASSERT_FALSE(flushed.has_error()) << flushed.error().what();
  EXPECT_EQ("Flushed 3 entries", flushed.report());

  std::vector<response_t> heard = frames_before_probe(watcher);
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

  // Nothing left to reset: nobody hears anything.
  flushed = admin.flush(mq::BCC_FRESH);
  EXPECT_EQ("Flushed 0 entries", flushed.report());
  EXPECT_TRUE(frames_before_probe(watcher).empty());
  EXPECT_TRUE(frames_before_probe(other).empty());
}

TEST_F(SorterService, ARequestLackingAFieldEndsOnlyItsConnection) {
  sorter_peer_t bystander(q.sorter_socket());
  struct case_t {
    request_t message;
    bool with_file;
    std::string log;
  };
  std::vector<case_t> cases;
  request_t m = get_request(5);  // no serial
  cases.push_back({m, false,
                   "Sorter: message mq.Sorter2MailQuarantineMessage tagged GET_ENTRY_REQUEST does not have field "
                   "serial set"});
  m.Clear();
  m.set_tag(request_t::PUT_ENTRY_REQUEST);
  m.set_serial(1);
  m.set_status(mq::SMTP_FRESH);
  cases.push_back({m, false, "Sorter: mq.Sorter2MailQuarantineMessage: message file not specified"});
  m.Clear();
  m.set_tag(request_t::UPDATE_ENTRY_REQUEST);
  m.set_serial(1);
  m.set_entry_id(1);
  cases.push_back({m, true, "Sorter: Entry does not have message_size"});

  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    sorter_peer_t victim(q.sorter_socket());
    mq::util::unique_fd_t file;
    if (c.with_file) file = mq::test::memory_file_fd("x");
    victim.send(c.message, file.get());
    EXPECT_TRUE(victim.wait_closed());
    EXPECT_TRUE(q.daemon().wait_log("Error: " + c.log));
    // The daemon and the other connection carry on.
    const std::uint64_t id = bystander.put("still here\n", mq::SMTP_FRESH);
    mq::util::unique_fd_t fd;
    const response_t r = bystander.call(get_request(id), -1, &fd);
    ASSERT_EQ(response_t::GET_ENTRY_RESPONSE, r.tag());
    EXPECT_EQ("still here\n", mq::test::read_all(fd.get()));
  }
  EXPECT_FALSE(q.daemon().exited());
  EXPECT_EQ(0u, q.daemon().count_log("Exit with status"));
  EXPECT_EQ(107, q.stop());
}

TEST_F(SorterService, ADisconnectWithRequestsInFlightDropsTheirResults) {
  {
    sorter_peer_t leaving(q.sorter_socket());
    request_t put;
    put.set_tag(request_t::PUT_ENTRY_REQUEST);
    put.set_status(mq::BCC_ACCEPTED);
    put.mutable_entry()->set_message_size(6);
    for (std::uint32_t serial = 1; serial <= 20; ++serial) {
      put.set_serial(serial);
      auto file = mq::test::memory_file_fd("abcdef");
      leaving.send(put, file.get());
      request_t get = get_request(serial);
      get.set_serial(serial);
      leaving.send(get);
    }
  }
  ASSERT_TRUE(q.daemon().wait_log("Debug: Sorter: disconnected"));
  // The puts still reach the store (each record follows its file, so the
  // last ones may come after the disconnect).
  client_peer_t admin(q.client_socket());
  auto stat = admin.stat();
  for (int i = 0; i < 10000 && stat.bcc_accepted_stat().total_messages() < 20; ++i) stat = admin.stat();
  EXPECT_EQ(20u, stat.bcc_accepted_stat().total_messages());
  EXPECT_EQ(120u, stat.bcc_accepted_stat().total_bytes());
  sorter_peer_t next(q.sorter_socket());
  EXPECT_GT(next.put("after\n", mq::SMTP_FRESH), 0u);
  EXPECT_FALSE(q.daemon().exited());
  EXPECT_EQ(0u, q.daemon().count_log("Error: Sorter"));
}

TEST_F(SorterService, StatisticsCountBothKindsOfConnection) {
  auto a = std::make_unique<sorter_peer_t>(q.sorter_socket());
  sorter_peer_t b(q.sorter_socket());
  client_peer_t c(q.client_socket());
  client_peer_t d(q.client_socket());
  c.stat();
  d.stat();
  EXPECT_TRUE(q.wait_clients(4));
  a.reset();
  EXPECT_TRUE(q.wait_clients(3));
  d.close();
  EXPECT_TRUE(q.wait_clients(2));
}

std::size_t open_descriptors_of(pid_t pid) {
  std::size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

TEST(SorterStorm, AConnectionStormPastTheDescriptorLimitEndsNothing) {
  mq::test::temp_dir_t dir;
  auto config = mq::test::make_test_config(dir.path());
  mq::test::daemon_process_t daemon(mq::test::daemon_options());
  daemon.answer_config(config, 1);
  daemon.wait_message(ov::MailQuarantine2OverseerMessage::MY_INFO_NOTIFICATION);

  // The ways connections end during the storm are taken once beforehand: the
  // undefined-behaviour checker of a sanitizer build needs a pipe the first
  // time it looks at a type, which it cannot have once descriptors run out.
  sorter_peer_t(config.sorter_socket_path()).close();
  ASSERT_TRUE(daemon.wait_log("Debug: Sorter: disconnected"));
  {
    sorter_peer_t rude(config.sorter_socket_path(), false);
    // Gone with the greeting half read: the daemon's side fails writing or
    // reading, either way with an error other than the end of the stream.
    timeval limit{mq::test::default_timeout_ms / 1000, 0};
    ASSERT_EQ(0, ::setsockopt(rude.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit));
    std::uint32_t size = 0;
    ASSERT_EQ(4, ::recv(rude.fd(), &size, 4, MSG_WAITALL));
    rude.close();
  }
  ASSERT_TRUE(daemon.wait_log("Error: Sorter: "));

  sorter_peer_t before(config.sorter_socket_path());
  rlimit lowered{};
  lowered.rlim_cur = lowered.rlim_max = open_descriptors_of(daemon.pid()) + 6;
  ASSERT_EQ(0, ::prlimit(daemon.pid(), RLIMIT_NOFILE, &lowered, nullptr)) << std::strerror(errno);

  std::vector<std::unique_ptr<sorter_peer_t>> storm;
  for (int i = 0; i < 40; ++i) storm.push_back(std::make_unique<sorter_peer_t>(config.sorter_socket_path(), false));
  EXPECT_TRUE(daemon.wait_log("Error: Cannot accept a connection on " + config.sorter_socket_path() +
                              ": Too many open files; accepting again in 100 ms"));
  EXPECT_FALSE(daemon.exited());
  storm.clear();

  // Once descriptors are free again, connections are served as before.
  sorter_peer_t after(config.sorter_socket_path());
  EXPECT_EQ(config.spool_dir(), after.store_path());
  const std::uint64_t id = after.put("after the storm\n", mq::SMTP_FRESH);
  mq::util::unique_fd_t fd;
  const response_t r = before.call(get_request(id), -1, &fd);
  ASSERT_EQ(response_t::GET_ENTRY_RESPONSE, r.tag()) << r.error().what();
  EXPECT_EQ("after the storm\n", mq::test::read_all(fd.get()));
  daemon.send_signal(SIGTERM);
  EXPECT_EQ(107, daemon.wait_exit());
}

}  // namespace
