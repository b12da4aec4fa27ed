// A management-client connection on the event loop, driven from the far end
// of a socket pair with real frames.
#include "client/tie.h"

#include <dirent.h>

#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "mail_quarantine_client_ipc.pb.h"
#include "ov/error.h"
#include "support/peers.h"

namespace {

using request_t = mq::Client2MailQuarantineMessage;
using response_t = mq::MailQuarantine2ClientMessage;
template <class T>
using done_t = mq::client::tie_t::completion_t<T>;

struct delegate_t : mq::client::tie_t::delegate_t {
  void get_queue_stat(done_t<mq::store::queue_stats_t> d) override {
    calls_while_building += !tie;
    stats.push_back(std::move(d));
  }
  void get_queue_chunk(mq::store::queue_chunk_request_t, done_t<std::vector<mq::store::entry_brief_t>> d) override {
    chunks.push_back(std::move(d));
  }
  void flush_queue(mq::store::status_t, done_t<std::string> d) override { reports.push_back(std::move(d)); }
  void check_health(bool, done_t<std::string> d) override { reports.push_back(std::move(d)); }
  void on_disconnected() override { tie.reset(); }

  std::unique_ptr<mq::client::tie_t> tie;
  int calls_while_building = 0;
  std::vector<done_t<mq::store::queue_stats_t>> stats;
  std::vector<done_t<std::vector<mq::store::entry_brief_t>>> chunks;
  std::vector<done_t<std::string>> reports;
};

request_t request(request_t::Tag tag, std::uint32_t serial) {
  request_t m;
  m.set_tag(tag);
  m.set_serial(serial);
  if (tag == request_t::FLUSH_QUEUE_REQUEST || tag == request_t::GET_QUEUE_CHUNK_REQUEST) m.set_status(mq::SMTP_FRESH);
  return m;
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (::readdir(d)) ++n;
  ::closedir(d);
  return n;
}

// Requests waiting before the connection object exists are handled once
// its owner holds it; a descriptor sent along is closed unread.
TEST(client_tie, AnswersCarryTheRequestsTagSerialAndOutcome) {
  boost::asio::io_context io;
  mq::test::loop_peer_t peer(io);
  delegate_t d;
  const std::size_t before = open_descriptors();
  peer.send(request(request_t::GET_QUEUE_STAT_REQUEST, 1), mq::test::memory_file_fd("x").get());
  peer.send(request(request_t::FLUSH_QUEUE_REQUEST, 1));
  peer.send(request(request_t::GET_QUEUE_CHUNK_REQUEST, 2));
  peer.send(request(request_t::CHECK_HEALTH_REQUEST, 3));
  d.tie = std::make_unique<mq::client::tie_t>(peer.take_socket(), &d);
  ASSERT_TRUE(mq::test::run_until(io, [&] { return d.stats.size() + d.chunks.size() + d.reports.size() == 4; }));
  EXPECT_EQ(0, d.calls_while_building);
  EXPECT_EQ(before, open_descriptors());

  const std::system_error denied(EACCES, std::generic_category(), "flush");
  d.reports[0](mq::util::make_error_result<std::string>(std::make_exception_ptr(denied)));
  d.chunks[0](
      mq::util::make_error_result<std::vector<mq::store::entry_brief_t>>(std::make_exception_ptr(std::bad_alloc())));
  d.reports[1](std::string(""));
  mq::store::queue_stats_t stats;
  for (int i = 0; i < 4; ++i) stats.stats[i] = {static_cast<std::uint64_t>(i + 1), 100u * i};
  d.stats[0](stats);

  const struct {
    response_t::Tag tag;
    std::uint32_t serial;
    int code;  // -1: no error
    std::string text;
  } expected[] = {
      {response_t::FLUSH_QUEUE_RESPONSE, 1, ov::EC_PERMISSION_DENIED, denied.what()},
      {response_t::GET_QUEUE_CHUNK_RESPONSE, 2, ov::EC_NO_MEMORY, "Not enough memory"},
      {response_t::CHECK_HEALTH_RESPONSE, 3, -1, ""},
      {response_t::GET_QUEUE_STAT_RESPONSE, 1, -1, ""},
  };
  response_t r;
  for (const auto& e : expected) {
    mq::util::unique_fd_t fd;
    ASSERT_TRUE(peer.receive(r, &fd));
    EXPECT_EQ(e.tag, r.tag());
    EXPECT_EQ(e.serial, r.serial());
    EXPECT_FALSE(fd) << "a client answer never carries a descriptor";
    EXPECT_EQ(e.code >= 0, r.has_error());
    if (e.code >= 0) {
      EXPECT_EQ(e.code, r.error().code());
      EXPECT_EQ(e.text, r.error().what());
      EXPECT_FALSE(r.has_report());
    }
  }
  // The last answer: each status has its own figures.
  EXPECT_EQ(2u, r.smtp_accepted_stat().total_messages());
  EXPECT_EQ(100u, r.smtp_accepted_stat().total_bytes());
  EXPECT_EQ(3u, r.bcc_fresh_stat().total_messages());
  EXPECT_EQ(300u, r.bcc_accepted_stat().total_bytes());
}

}  // namespace
