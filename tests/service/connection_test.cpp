// Connections to the real daemon that go wrong: bad requests, peers that
// leave with work in flight, more connections than descriptors.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/peers.h"
#include "support/process.h"

namespace {

using mq::test::client_peer_t;
using mq::test::sorter_peer_t;
using sorter_request_t = mq::Sorter2MailQuarantineMessage;
using client_request_t = mq::Client2MailQuarantineMessage;

struct bad_request_t {
  const char* name;
  bool sorter;          // which socket
  const char* request;  // in text form
  bool with_file;
  std::string log;
};

void PrintTo(const bad_request_t& row, std::ostream* os) { *os << row.name; }

const std::string missing = "Error: Sorter: message mq.Sorter2MailQuarantineMessage tagged ";
const std::string required = "Error: Client: Message mq.Client2MailQuarantineMessage tagged ";

const bad_request_t bad_requests[] = {
    {"get_without_serial", true, "tag: GET_ENTRY_REQUEST entry_id: 5", false,
     missing + "GET_ENTRY_REQUEST does not have field serial set"},
    {"put_without_file", true, "tag: PUT_ENTRY_REQUEST serial: 1 status: SMTP_FRESH", false,
     "Error: Sorter: mq.Sorter2MailQuarantineMessage: message file not specified"},
    {"update_file_without_size", true, "tag: UPDATE_ENTRY_REQUEST serial: 1 entry_id: 1", true,
     "Error: Sorter: Entry does not have message_size"},
    {"stat_without_serial", false, "tag: GET_QUEUE_STAT_REQUEST", false,
     required + "GET_QUEUE_STAT_REQUEST: required field serial is not set"},
    {"flush_without_status", false, "tag: FLUSH_QUEUE_REQUEST serial: 1", false,
     required + "FLUSH_QUEUE_REQUEST: required field status is not set"},
};

class bad_request : public ::testing::TestWithParam<bad_request_t> {
 protected:
  mq::test::running_quarantine_t q;
};

TEST_P(bad_request, ends_only_its_own_connection) {
  const bad_request_t& c = GetParam();
  sorter_peer_t sorter(q.sorter_socket());
  client_peer_t client(q.client_socket());
  if (c.sorter) {
    sorter_peer_t victim(q.sorter_socket());
    victim.send(mq::test::parse<sorter_request_t>(c.request), c.with_file ? mq::test::memory_file_fd("x").get() : -1);
    EXPECT_TRUE(victim.wait_closed());
  } else {
    client_peer_t victim(q.client_socket());
    victim.send(mq::test::parse<client_request_t>(c.request));
    EXPECT_TRUE(victim.wait_closed());
  }
  EXPECT_TRUE(q.daemon().wait_log(c.log));
  // The daemon and the other connections carry on.
  const std::uint64_t id = sorter.put("still here\n", mq::SMTP_FRESH);
  EXPECT_GT(id, 0u);
  EXPECT_EQ(1u, client.stat().smtp_fresh_stat().total_messages());
  EXPECT_EQ(107, q.stop());
}

INSTANTIATE_TEST_SUITE_P(cases, bad_request, ::testing::ValuesIn(bad_requests),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(connections, a_disconnect_with_requests_in_flight_drops_their_results) {
  mq::test::running_quarantine_t q;
  {
    sorter_peer_t leaving(q.sorter_socket());
    auto put = mq::test::parse<sorter_request_t>(
        "tag: PUT_ENTRY_REQUEST status: BCC_ACCEPTED "
        "entry { message_size: 6 }");
    auto get = mq::test::parse<sorter_request_t>("tag: GET_ENTRY_REQUEST");
    for (std::uint32_t serial = 1; serial <= 20; ++serial) {
      put.set_serial(serial);
      leaving.send(put, mq::test::memory_file_fd("abcdef").get());
      get.set_serial(serial);
      get.set_entry_id(serial);
      leaving.send(get);
    }
    // Leave only once the daemon has read all 40 frames: the end of the
    // stream comes after them, and our end stays open until the daemon has
    // seen it, so no response can fail on the way.
    ::shutdown(leaving.fd(), SHUT_WR);
    ASSERT_TRUE(q.daemon().wait_log("Debug: Sorter: disconnected"));
    EXPECT_EQ(20u, q.daemon().count_log("Sorter --> GET_ENTRY_REQUEST"));
  }
  {
    client_peer_t leaving(q.client_socket());
    leaving.send(mq::test::parse<client_request_t>("tag: CHECK_HEALTH_REQUEST serial: 1"));
    ::shutdown(leaving.fd(), SHUT_WR);
    ASSERT_TRUE(q.daemon().wait_log("Debug: Client: disconnected"));
  }
  // The puts still reach the store: each row once its file is written.
  ASSERT_TRUE(q.daemon().wait_log("Queue metadata db: Put entry : id=", 20));
  client_peer_t admin(q.client_socket());
  EXPECT_EQ("total_messages: 20 total_bytes: 120", admin.stat().bcc_accepted_stat().ShortDebugString());
  EXPECT_EQ("Ok", admin.check(false).report());
  EXPECT_EQ(0u, q.daemon().count_log("Error: "));
  EXPECT_EQ(107, q.stop());
}

TEST(connections, a_storm_past_the_descriptor_limit_ends_nothing) {
  mq::test::running_quarantine_t q;
  // The ways connections end during the storm are taken once beforehand: the
  // undefined-behaviour checker of a sanitizer build needs a pipe the first
  // time it looks at a type, which it cannot have once descriptors run out.
  sorter_peer_t(q.sorter_socket()).close();
  ASSERT_TRUE(q.daemon().wait_log("Debug: Sorter: disconnected"));
  {
    // Gone with the greeting half read: the daemon's side fails writing or
    // reading, either way with an error other than the end of the stream.
    sorter_peer_t rude(q.sorter_socket(), false);
    std::uint32_t size = 0;
    ASSERT_EQ(4, ::recv(rude.fd(), &size, 4, MSG_WAITALL));
  }
  ASSERT_TRUE(q.daemon().wait_log("Error: Sorter: "));

  sorter_peer_t before(q.sorter_socket());
  std::size_t open = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(q.daemon().pid()) + "/fd"))
    open += !e.path().empty();
  const rlimit lowered{open + 6, open + 6};
  ASSERT_EQ(0, ::prlimit(q.daemon().pid(), RLIMIT_NOFILE, &lowered, nullptr)) << std::strerror(errno);
  std::vector<std::unique_ptr<sorter_peer_t>> storm;
  for (int i = 0; i < 40; ++i) storm.push_back(std::make_unique<sorter_peer_t>(q.sorter_socket(), false));
  EXPECT_TRUE(q.daemon().wait_log("Error: Cannot accept a connection on " + q.sorter_socket() +
                                  ": Too many open files; accepting again in 100 ms"));
  EXPECT_FALSE(q.daemon().exited());
  storm.clear();

  // Once descriptors are free again, connections are served as before.
  sorter_peer_t after(q.sorter_socket());
  EXPECT_EQ(q.spool_dir(), after.store_path());
  const std::uint64_t id = after.put("after the storm\n", mq::SMTP_FRESH);
  const auto get = mq::test::parse<sorter_request_t>("tag: GET_ENTRY_REQUEST entry_id: " + std::to_string(id));
  mq::util::unique_fd_t fd;
  const auto r = before.call(get, -1, &fd);
  ASSERT_TRUE(fd) << r.error().what();
  EXPECT_EQ("after the storm\n", mq::test::read_fd(fd.get()));
  EXPECT_EQ(107, q.stop());
}

TEST(connections, the_longest_socket_path_that_fits_is_served) {
  mq::test::running_quarantine_t q([](auto& config, auto& dir) {
    const std::string base = dir.path().string() + "/";
    config.set_sorter_socket_path(base + std::string(107 - base.size(), 's'));
    config.set_client_socket_path(base + std::string(107 - base.size(), 'c'));
  });
  EXPECT_EQ(107u, q.client_socket().size());
  EXPECT_EQ(q.spool_dir(), sorter_peer_t(q.sorter_socket()).store_path());
  EXPECT_FALSE(client_peer_t(q.client_socket()).stat().has_error());
  struct stat st {};
  ASSERT_EQ(0, ::stat(q.client_socket().c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 0777u);
}

}  // namespace
