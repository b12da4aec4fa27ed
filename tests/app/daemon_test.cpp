// The daemon as a process under a test supervisor: the monitor-channel
// message flow, signals, statistics and every way the process ends.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_process.h"
#include "util/frame_io.h"

namespace {

using mq::test::daemon_process_t;
using in_t = ov::MailQuarantine2OverseerMessage;
using out_t = ov::Overseer2MailQuarantineMessage;

const std::string ready_line = "Notice: MailQuarantine " MQ_VERSION ": Ready for service";

class daemon_test : public ::testing::Test {
 protected:
  daemon_test() : config_(mq::test::make_test_config(dir_.path())) {}

  // Starts the daemon and gives it `config_` as revision `revision`; returns
  // once it is ready.
  std::unique_ptr<daemon_process_t> start_ready(std::uint32_t revision = 1) {
    auto d = std::make_unique<daemon_process_t>(mq::test::daemon_options());
    d->answer_config(config_, revision);
    in_t info = d->wait_message(in_t::MY_INFO_NOTIFICATION);
    EXPECT_EQ(revision, info.config_revision());
    return d;
  }

  void expect_exit(daemon_process_t& d, int status, const std::string& name) {
    EXPECT_EQ(status, d.wait_exit());
    const std::string line = "Notice: Exit with status " + std::to_string(status) + " (" + name + ")";
    EXPECT_EQ(1u, d.count_log(line)) << d.output();
  }

  mq::test::temp_dir_t dir_;
  ov::MailQuarantineConfig config_;
};

mode_t mode_of(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode;
}

TEST_F(daemon_test, asks_applies_announces_and_ends_on_sigterm) {
  daemon_process_t d(mq::test::daemon_options());
  // The first message is the request, bare.
  auto first = d.read_message();
  ASSERT_TRUE(first);
  EXPECT_EQ(in_t::GET_CONFIG_REQUEST, first->tag());
  EXPECT_FALSE(first->has_config_revision());
  EXPECT_FALSE(first->has_info());
  EXPECT_FALSE(first->has_stat());
  // Nothing is configured before the response.
  EXPECT_EQ(0u, mode_of(config_.spool_dir()));
  EXPECT_EQ(0u, mode_of(config_.sorter_socket_path()));

  d.send_config(config_, 17);
  in_t info = d.wait_message(in_t::MY_INFO_NOTIFICATION);
  EXPECT_EQ(17u, info.config_revision());
  EXPECT_TRUE(info.has_info());
  EXPECT_TRUE(d.wait_log(ready_line));

  // Both sockets listen, open to everybody; the store is open.
  std::vector<mq::util::unique_fd_t> connections;
  for (const auto& path : {config_.sorter_socket_path(), config_.client_socket_path()}) {
    const mode_t mode = mode_of(path);
    EXPECT_TRUE(S_ISSOCK(mode)) << path;
    EXPECT_EQ(0666u, mode & 07777) << path;
    EXPECT_NO_THROW(connections.push_back(mq::util::connect_local(path)));
  }
  // Both are counted once accepted.
  std::uint32_t clients = 0;
  for (int i = 0; i < 20 && clients != 2; ++i) clients = d.wait_message(in_t::MY_STAT_NOTIFICATION).stat().clients();
  EXPECT_EQ(2u, clients);
  EXPECT_TRUE(S_ISREG(mode_of(config_.spool_dir() + "/queue.db")));

  d.send_signal(SIGTERM);
  EXPECT_TRUE(d.wait_log("Notice: Termination signal received, exiting..."));
  expect_exit(d, 107, "EC_APP_TERMINATED");
}

TEST_F(daemon_test, sigterm_before_any_configuration) {
  daemon_process_t d(mq::test::daemon_options());
  d.wait_message(in_t::GET_CONFIG_REQUEST);
  d.send_signal(SIGTERM);
  expect_exit(d, 107, "EC_APP_TERMINATED");
  EXPECT_EQ(1u, d.count_log("Notice: Termination signal received, exiting..."));
  // The channel was closed without a configuration having been applied.
  EXPECT_FALSE(d.read_message());
  EXPECT_EQ(0u, mode_of(config_.spool_dir()));
}

TEST_F(daemon_test, sigint_ends_like_sigterm) {
  auto d = start_ready();
  d->send_signal(SIGINT);
  expect_exit(*d, 107, "EC_APP_TERMINATED");
}

TEST_F(daemon_test, two_sighups_give_two_requests_and_two_announcements) {
  auto d = start_ready(1);
  // One signal at a time: signals of one kind do not queue.
  d->send_signal(SIGHUP);
  d->wait_message(in_t::GET_CONFIG_REQUEST);
  d->send_signal(SIGHUP);
  d->wait_message(in_t::GET_CONFIG_REQUEST);
  EXPECT_TRUE(
      d->wait_log("Notice: SIGHUP received, config will be ordered from Overseer", mq::test::default_timeout_ms, 2));

  config_.set_log_level(ov::LOG_LEVEL_INFO);  // a live change
  d->send_config(config_, 2);
  d->send_config(config_, 3);
  EXPECT_EQ(2u, d->wait_message(in_t::MY_INFO_NOTIFICATION).config_revision());
  EXPECT_EQ(3u, d->wait_message(in_t::MY_INFO_NOTIFICATION).config_revision());
  EXPECT_TRUE(d->wait_log(ready_line, mq::test::default_timeout_ms, 3));

  d->send_signal(SIGTERM);
  expect_exit(*d, 107, "EC_APP_TERMINATED");
}

TEST_F(daemon_test, response_without_revision_is_a_protocol_violation) {
  daemon_process_t d(mq::test::daemon_options());
  d.wait_message(in_t::GET_CONFIG_REQUEST);
  out_t m;
  m.set_tag(out_t::GET_CONFIG_RESPONSE);
  *m.mutable_config() = config_;
  d.send_message(m);
  expect_exit(d, 12, "EC_PROTOCOL_VIOLATION");
  EXPECT_EQ(1u, d.count_log("Error: message ov.Overseer2MailQuarantineMessage tagged GET_CONFIG_RESPONSE does not "
                            "have field config_revision set"));
  EXPECT_EQ(0u, mode_of(config_.spool_dir()));
}

TEST_F(daemon_test, response_without_configuration_is_a_protocol_violation) {
  daemon_process_t d(mq::test::daemon_options());
  d.wait_message(in_t::GET_CONFIG_REQUEST);
  out_t m;
  m.set_tag(out_t::GET_CONFIG_RESPONSE);
  m.set_config_revision(1);
  m.mutable_error()->set_code(ov::EC_OK);
  d.send_message(m);
  expect_exit(d, 12, "EC_PROTOCOL_VIOLATION");
  EXPECT_EQ(1u, d.count_log("Error: message ov.Overseer2MailQuarantineMessage tagged GET_CONFIG_RESPONSE does not "
                            "have field config set"));
}

TEST_F(daemon_test, unsolicited_response_is_an_unexpected_message) {
  auto d = start_ready();
  d->send_config(config_, 2);
  expect_exit(*d, 11, "EC_UNEXPECTED_MESSAGE");
  EXPECT_EQ(1u, d->count_log("Error: 1: Unexpected IPC message [ov.Error:11]"));
}

TEST_F(daemon_test, closed_channel_ends_with_125_before_configuration) {
  daemon_process_t d(mq::test::daemon_options());
  d.wait_message(in_t::GET_CONFIG_REQUEST);
  d.close_monitor();
  expect_exit(d, 125, "EC_UNEXPECTED_ERROR");
}

TEST_F(daemon_test, closed_channel_ends_with_125_after_configuration) {
  auto d = start_ready();
  d->close_monitor();
  expect_exit(*d, 125, "EC_UNEXPECTED_ERROR");
  EXPECT_EQ(1u, d->count_log("Error: read failed"));
}

TEST_F(daemon_test, zero_frame_length_ends_with_125) {
  auto d = start_ready();
  const std::uint32_t zero = 0;
  d->send_bytes(&zero, sizeof(zero));
  expect_exit(*d, 125, "EC_UNEXPECTED_ERROR");
  EXPECT_EQ(1u, d->count_log("Error: invalid message size received"));
}

TEST_F(daemon_test, oversized_frame_length_ends_with_125) {
  daemon_process_t d(mq::test::daemon_options());
  d.wait_message(in_t::GET_CONFIG_REQUEST);
  const std::uint32_t size = 67108865;
  d.send_bytes(&size, sizeof(size));
  expect_exit(d, 125, "EC_UNEXPECTED_ERROR");
  EXPECT_EQ(1u, d.count_log("Error: invalid message size received"));
}

TEST_F(daemon_test, unparsable_frame_ends_with_125) {
  daemon_process_t d(mq::test::daemon_options());
  d.wait_message(in_t::GET_CONFIG_REQUEST);
  d.send_frame(std::string("\xff\xff\xff", 3));
  expect_exit(d, 125, "EC_UNEXPECTED_ERROR");
  EXPECT_EQ(1u, d.count_log("Error: ov.Overseer2MailQuarantineMessage: invalid message format"));
}

TEST_F(daemon_test, configuration_that_cannot_be_applied_names_its_revision) {
  auto d = start_ready(4);
  d->send_signal(SIGHUP);
  config_.mutable_run_as_user()->Clear();
  config_.mutable_run_as_user()->set_name("mq-no-such-user");
  d->answer_config(config_, 5);
  expect_exit(*d, 102, "EC_BAD_CONFIG");
  EXPECT_EQ(1u, d->count_log("Error: Cannot apply configuration (revision 5): getpwnam(\"mq-no-such-user\"): No such "
                             "user"))
      << d->output();
  // No announcement for the failed revision.
  auto m = d->read_message();
  while (m && m->tag() == in_t::MY_STAT_NOTIFICATION) m = d->read_message();
  EXPECT_FALSE(m) << m->ShortDebugString();
}

TEST_F(daemon_test, first_configuration_that_cannot_be_applied) {
  daemon_process_t d(mq::test::daemon_options());
  config_.set_sorter_socket_path(dir_.path() + "/" + std::string(110, 's'));
  d.answer_config(config_, 1);
  expect_exit(d, 102, "EC_BAD_CONFIG");
  EXPECT_EQ(1u, d.count_log("Error: Cannot apply configuration (revision 1): "));
}

TEST_F(daemon_test, spool_change_asks_for_a_restart_and_nothing_moves) {
  auto d = start_ready();
  d->send_signal(SIGHUP);
  ov::MailQuarantineConfig moved = config_;
  moved.set_spool_dir(dir_.file("spool2"));
  moved.set_client_socket_path(dir_.file("client2.sock"));
  d->answer_config(moved, 2);
  expect_exit(*d, 0, "EC_OK");
  EXPECT_EQ(1u, d->count_log("Notice: Spool directory changed, will restart for config changes to take effect"));
  // The client service comes after the store and never saw the new path.
  EXPECT_EQ(0u, mode_of(dir_.file("client2.sock")));
  EXPECT_EQ(0u, mode_of(dir_.file("spool2")));
}

TEST_F(daemon_test, statistics_every_second_before_configuration) {
  daemon_process_t d(mq::test::daemon_options());
  d.wait_message(in_t::GET_CONFIG_REQUEST);
  for (int i = 0; i < 2; ++i) {
    auto m = d.wait_message(in_t::MY_STAT_NOTIFICATION);
    ASSERT_TRUE(m.has_stat());
    ASSERT_TRUE(m.stat().has_clients());
    EXPECT_EQ(0u, m.stat().clients());
  }
  d.send_signal(SIGTERM);
  EXPECT_EQ(107, d.wait_exit());
}

// The client count of the next report that differs from `old`.
std::uint32_t next_changed_clients(daemon_process_t& d, std::uint32_t old) {
  for (int i = 0; i < 20; ++i) {
    auto m = d.wait_message(in_t::MY_STAT_NOTIFICATION);
    if (m.stat().clients() != old) return m.stat().clients();
  }
  ADD_FAILURE() << "the count stayed at " << old;
  return old;
}

TEST_F(daemon_test, statistics_count_connections_on_both_sockets) {
  auto d = start_ready();
  {
    auto c1 = mq::util::connect_local(config_.client_socket_path());
    auto c2 = mq::util::connect_local(config_.client_socket_path());
    auto s1 = mq::util::connect_local(config_.sorter_socket_path());
    // Connections are counted when accepted, which may span reports.
    std::uint32_t clients = 0;
    for (int i = 0; i < 20 && clients != 3; ++i) clients = next_changed_clients(*d, clients);
    EXPECT_EQ(3u, clients);
    c2.reset();
    EXPECT_EQ(2u, next_changed_clients(*d, 3));
    // A new configuration does not reset the count.
    d->send_signal(SIGHUP);
    d->answer_config(config_, 2);
    in_t m = d->wait_message(in_t::MY_INFO_NOTIFICATION);
    EXPECT_EQ(2u, m.config_revision());
    EXPECT_EQ(2u, d->wait_message(in_t::MY_STAT_NOTIFICATION).stat().clients());
  }
  // Both remaining connections closed, seen at once or one by one.
  std::uint32_t clients = next_changed_clients(*d, 2);
  if (clients == 1) clients = next_changed_clients(*d, 1);
  EXPECT_EQ(0u, clients);
  d->send_signal(SIGTERM);
  EXPECT_EQ(107, d->wait_exit());
}

TEST_F(daemon_test, bad_monitor_value_ends_before_any_message) {
  for (const char* value : {"12x", ""}) {
    auto options = mq::test::daemon_options();
    options.monitor_value = value;
    daemon_process_t d(options);
    EXPECT_EQ(125, d.wait_exit()) << "value [" << value << "]";
    EXPECT_FALSE(d.read_message()) << "value [" << value << "]";
    EXPECT_EQ(1u, d.count_log("bad lexical cast: source type value could not be interpreted as target")) << d.output();
    EXPECT_EQ(0u, d.count_log("Exit with status"));
  }
}

// ---- privileges (root only) ----

std::map<std::string, std::string> proc_status(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::map<std::string, std::string> result;
  std::string line;
  while (std::getline(in, line)) {
    auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    std::istringstream words(value);
    std::string word, joined;
    while (words >> word) joined += (joined.empty() ? "" : " ") + word;
    result[line.substr(0, colon)] = joined;
  }
  return result;
}

uid_t owner_of(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return static_cast<uid_t>(-1);
  return st.st_uid;
}

class daemon_root_test : public daemon_test {
 protected:
  void SetUp() override {
    if (::getuid() != 0) GTEST_SKIP() << "needs root";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nullptr, nobody);
    uid_ = nobody->pw_uid;
    gid_ = nobody->pw_gid;
    // The unprivileged daemon must still reach its files.
    ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0755));
    config_.mutable_run_as_user()->Clear();
    config_.mutable_run_as_user()->set_name("nobody");
  }

  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

TEST_F(daemon_root_test, drops_to_the_run_as_user_and_hands_over_its_files) {
  constexpr uid_t foreign_uid = 4242;
  // A link planted in the spool directory to somebody else's file.
  ASSERT_EQ(0, ::mkdir(config_.spool_dir().c_str(), 0770));
  std::ofstream(dir_.file("secret")) << "secret";
  ASSERT_EQ(0, ::chown(dir_.file("secret").c_str(), foreign_uid, foreign_uid));
  ASSERT_EQ(0, ::symlink(dir_.file("secret").c_str(), (config_.spool_dir() + "/planted").c_str()));

  auto d = start_ready();
  EXPECT_TRUE(d->wait_log("Debug: Run as user " + std::to_string(uid_) + ":" + std::to_string(gid_)));
  auto status = proc_status(d->pid());
  const std::string u = std::to_string(uid_), g = std::to_string(gid_);
  EXPECT_EQ(u + " " + u + " " + u + " " + u, status["Uid"]);
  EXPECT_EQ(g + " " + g + " " + g + " " + g, status["Gid"]);

  EXPECT_EQ(uid_, owner_of(config_.spool_dir()));
  EXPECT_EQ(uid_, owner_of(config_.spool_dir() + "/queue.db"));
  EXPECT_EQ(uid_, owner_of(config_.sorter_socket_path()));
  EXPECT_EQ(0u, owner_of(config_.client_socket_path()));
  EXPECT_EQ(foreign_uid, owner_of(dir_.file("secret")));

  // A later revision with the same user applies without restart.
  d->send_signal(SIGHUP);
  d->answer_config(config_, 2);
  EXPECT_EQ(2u, d->wait_message(in_t::MY_INFO_NOTIFICATION).config_revision());

  // Another user needs root again: a restart, not a failure.
  d->send_signal(SIGHUP);
  config_.mutable_run_as_user()->Clear();
  config_.mutable_run_as_user()->set_uid(0);
  d->answer_config(config_, 3);
  expect_exit(*d, 0, "EC_OK");
  EXPECT_EQ(1u, d->count_log("Notice: Will restart for config changes to take effect"));
}

}  // namespace
