#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <regex>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

using mq::test::wait_limit;

// systemd's end of the notify protocol: a datagram socket the test owns.
// Its queue holds 10 messages, and a sender blocks on a full one: the
// watchdog comes once a second (WATCHDOG_USEC of 2 s) and is read often.
class notify_socket_t {
 public:
  explicit notify_socket_t(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un a{AF_UNIX, {}};
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) mq::test::throw_errno("bind");
    env = {"COM_ORVANE_MONITOR", "NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=2000000"};
  }

  // The next message but WATCHDOG=1, which is counted; "" when none comes.
  std::string next() {
    for (pollfd p{fd_.get(), POLLIN, 0}; ::poll(&p, 1, static_cast<int>(wait_limit().count())) == 1;) {
      char buf[4096];
      const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
      if (n < 0) mq::test::throw_errno("recv");
      const std::string m(buf, static_cast<std::size_t>(n));
      if (m != "WATCHDOG=1") return std::regex_replace(m, std::regex("MONOTONIC_USEC=[0-9]+\n"), "");
      ++watchdogs;
    }
    return "";
  }

  std::vector<std::string> env;
  std::size_t watchdogs = 0;

 private:
  mq::util::unique_fd_t fd_;
};

using mq::test::after;

// READY=1 once the daemon is configured and its sockets answer; RELOADING=1
// then READY=1 around each reload, even one that changes nothing; STOPPING=1
// on SIGTERM; the watchdog fed all along. The daemon gets none of it.
TEST(overseer_notify, tells_systemd_each_state_and_feeds_the_watchdog) {
  mq::test::temp_dir_t dir;
  notify_socket_t systemd(dir.file("notify"));
  const auto config = mq::test::make_test_config(dir.path().string());
  mq::test::write_config(dir.file("config.json"), config);
  const std::string json = mq::test::read_file(dir.file("config.json"));
  mq::test::daemon_process_t p(
      {MQ_OVERSEER_PATH,
       {"--daemon", ORVANE_MAIL_QUARANTINE_PATH, "--config", dir.file("config.json"), "--metrics", "127.0.0.1:0"},
       systemd.env});

  ASSERT_EQ("READY=1\nSTATUS=daemon ready with configuration revision 1", systemd.next()) << p.output();
  const auto stat = mq::test::run_program({MQCTL_PATH, {"--client-socket", config.client_socket_path(), "stat"}});
  EXPECT_EQ(0, stat.status) << "the client socket right after READY=1: " << stat.err;
  EXPECT_GE(systemd.watchdogs, 1u);

  const std::string daemon = after(p.output(), "(pid ");
  const std::string environ = mq::test::read_file("/proc/" + daemon.substr(0, daemon.find(')')) + "/environ");
  for (const char* own : {"NOTIFY_SOCKET=", "WATCHDOG_USEC="}) EXPECT_EQ(std::string::npos, environ.find(own)) << own;

  // The configuration file at the reload, the two states' texts.
  const std::vector<std::tuple<std::string, std::string, std::string>> rows = {
      {"{", "reading " + dir.file("config.json"),
       "cannot read " + dir.file("config.json") + "; the daemon keeps its configuration"},
      {json, "reloading: waiting for configuration revision 2", "daemon ready with configuration revision 2"},
  };
  for (const auto& [file, reloading, ready] : rows) {
    SCOPED_TRACE(ready);
    mq::test::write_file(dir.file("config.json"), file);
    p.send_signal(SIGHUP);
    EXPECT_EQ((std::pair{"RELOADING=1\nSTATUS=" + reloading, "READY=1\nSTATUS=" + ready}),
              (std::pair{systemd.next(), systemd.next()}));
  }

  // A daemon that does not answer shows in the probe's time, its limit; the
  // loop feeds the watchdog meanwhile.
  const auto watchdogs = systemd.watchdogs;
  const std::string port = after(p.output(), "metrics on http://127.0.0.1:");
  ::kill(std::stoi(daemon), SIGSTOP);
  const std::string body = mq::test::exchange(static_cast<std::uint16_t>(std::stoi(port)),
                                              "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n");
  ::kill(std::stoi(daemon), SIGCONT);
  std::smatch seconds;
  ASSERT_TRUE(
      std::regex_search(body, seconds, std::regex("\nmail_quarantine_queue_probe_duration_seconds ([0-9.]+)\n")))
      << body;
  EXPECT_GE(std::stod(seconds[1]), 5.0);
  EXPECT_NE(std::string::npos, body.find("\nmail_quarantine_queue_probe_success 0\n"));
  p.send_signal(SIGTERM);
  EXPECT_EQ("STOPPING=1", systemd.next());
  EXPECT_GE(systemd.watchdogs, watchdogs + 3);
  EXPECT_EQ(0, p.wait_exit());
}

// The web view: READY=1 once it listens, STOPPING=1 on SIGTERM, which then
// ends it as before.
TEST(web_notify, tells_systemd_it_listens_and_stops) {
  mq::test::temp_dir_t dir;
  notify_socket_t systemd(dir.file("notify"));
  mq::test::daemon_process_t p(
      {MQ_WEB_PATH,
       {"--listen", "127.0.0.1:0", "--state-dir", dir.path().string(), "--users", dir.file("users")},
       systemd.env});
  const std::string ready = systemd.next();
  const std::string port = after(ready, "READY=1\nSTATUS=serving on http://127.0.0.1:");
  ASSERT_FALSE(port.empty()) << ready << p.output();
  EXPECT_EQ(
      0u,
      mq::test::exchange(static_cast<std::uint16_t>(std::stoi(port)), "GET /login HTTP/1.1\r\n\r\n").find("HTTP/1.1 "));
  EXPECT_GE(systemd.watchdogs, 1u);
  p.send_signal(SIGTERM);
  EXPECT_EQ("STOPPING=1", systemd.next());
  EXPECT_EQ(128 + SIGTERM, p.wait_exit());
}

}  // namespace
