// The daemon killed or stopped in the middle of a storm of writes from
// several connections: after a restart on the same spool, everything it
// acknowledged is there, byte for byte.
#include <poll.h>
#include <signal.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "support/peers.h"
#include "support/process.h"

namespace {

using mq::test::daemon_process_t;
using mq::test::sorter_peer_t;
using request_t = sorter_peer_t::request_t;
using response_t = sorter_peer_t::response_t;

struct row_t {
  const char* name;
  bool update;  // updates with new files of existing entries, else puts
  int signal;
  int status;
};

// What an entry may hold after the restart.
struct expected_t {
  std::string acked;
  std::string in_flight;
};

class crash_test : public ::testing::TestWithParam<row_t> {
 protected:
  std::unique_ptr<daemon_process_t> start() {
    // As the supervisor does: stale socket files go before a start.
    boost::filesystem::remove(config_.sorter_socket_path());
    boost::filesystem::remove(config_.client_socket_path());
    auto daemon = std::make_unique<daemon_process_t>(mq::test::daemon_command());
    daemon->answer_config(config_, 1);
    daemon->wait_message(ov::MailQuarantine2OverseerMessage::MY_INFO_NOTIFICATION);
    return daemon;
  }

  mq::test::temp_dir_t dir_;
  ov::MailQuarantineConfig config_ = mq::test::make_test_config(dir_.path().string());
};

std::string content_of(unsigned n) {
  return "message " + std::to_string(n) + "\n" + std::string(1000 + n % 7000, static_cast<char>('a' + n % 26));
}

TEST_P(crash_test, nothing_acknowledged_is_lost) {
  const row_t& row = GetParam();
  constexpr int connections = 4;
  constexpr int depth = 8;  // requests in flight per connection
  constexpr int storm = 240;

  auto daemon = start();
  std::vector<std::unique_ptr<sorter_peer_t>> peers;
  for (int c = 0; c < connections; ++c) peers.push_back(std::make_unique<sorter_peer_t>(config_.sorter_socket_path()));

  std::map<std::uint64_t, expected_t> entries;
  // Per connection: serial -> (entry id, 0 for a put; content).
  std::vector<std::map<std::uint32_t, std::pair<std::uint64_t, std::string>>> pending(connections);
  unsigned sent = 0;
  auto send = [&](int c, std::uint64_t id) {
    const std::string content = content_of(sent++);
    request_t m;
    m.set_serial(peers[c]->next_serial());
    if (id) {
      m.set_tag(request_t::UPDATE_ENTRY_REQUEST);
      m.set_entry_id(id);
      m.mutable_entry_update()->set_message_size(content.size());
      entries[id].in_flight = content;
    } else {
      m.set_tag(request_t::PUT_ENTRY_REQUEST);
      m.set_status(mq::SMTP_FRESH);
      m.mutable_entry()->set_message_size(content.size());
    }
    peers[c]->send(m, mq::test::memory_file_fd(content).get());
    pending[c][m.serial()] = {id, content};
  };

  std::vector<std::vector<std::uint64_t>> ids(connections, std::vector<std::uint64_t>(depth, 0));
  for (int c = 0; c < connections && row.update; ++c) {
    for (auto& id : ids[c]) {
      const std::string first = content_of(sent++);
      id = peers[c]->put(first, mq::SMTP_FRESH);
      entries[id].acked = first;
    }
  }
  for (int c = 0; c < connections; ++c)
    for (const auto id : ids[c]) send(c, id);  // updates: one in flight per entry

  int acked = 0;
  while (acked < storm) {
    std::vector<pollfd> fds;
    for (auto& peer : peers) fds.push_back(pollfd{peer->fd(), POLLIN, 0});
    ASSERT_GT(::poll(fds.data(), fds.size(), static_cast<int>(mq::test::wait_limit().count())), 0) << "no response";
    for (int c = 0; c < connections; ++c) {
      if (!fds[c].revents) continue;
      const response_t r = peers[c]->read();
      if (!r.has_serial()) continue;  // a notification
      const auto it = pending[c].find(r.serial());
      ASSERT_NE(it, pending[c].end()) << r.DebugString();
      ASSERT_FALSE(r.has_error()) << r.error().what();
      const std::uint64_t id = row.update ? it->second.first : r.entry_id();
      entries[id] = expected_t{it->second.second, std::string()};
      pending[c].erase(it);
      ++acked;
      send(c, row.update ? id : 0);
    }
  }
  daemon->send_signal(row.signal);
  EXPECT_EQ(daemon->wait_exit(), row.status);
  peers.clear();

  daemon = start();
  sorter_peer_t reader(config_.sorter_socket_path());
  for (const auto& [id, expected] : entries) {
    request_t get;
    get.set_tag(request_t::GET_ENTRY_REQUEST);
    get.set_entry_id(id);
    mq::util::unique_fd_t file;
    const response_t r = reader.call(get, -1, &file);
    ASSERT_EQ(r.tag(), response_t::GET_ENTRY_RESPONSE) << "entry " << id << ": " << r.error().what();
    const std::string stored = mq::test::read_fd(file.get());
    EXPECT_TRUE(stored == expected.acked || (!expected.in_flight.empty() && stored == expected.in_flight))
        << "entry " << id << " holds " << stored.substr(0, stored.find('\n'));
  }
}

TEST_F(crash_test, a_planted_database_link_ends_the_start_with_102) {
  boost::filesystem::create_directories(config_.spool_dir());
  boost::filesystem::create_symlink(dir_.file("elsewhere.db"), config_.spool_dir() + "/queue.db");
  daemon_process_t daemon(mq::test::daemon_command());
  daemon.answer_config(config_, 1);
  EXPECT_EQ(daemon.wait_exit(), 102);
  EXPECT_EQ(daemon.count_log("queue.db is a symbolic link"), 1u);
  EXPECT_FALSE(boost::filesystem::exists(dir_.file("elsewhere.db")));
}

INSTANTIATE_TEST_SUITE_P(rows, crash_test,
                         ::testing::Values(row_t{"puts_killed", false, SIGKILL, 128 + SIGKILL},
                                           row_t{"updates_killed", true, SIGKILL, 128 + SIGKILL},
                                           row_t{"puts_terminated", false, SIGTERM, 107}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
