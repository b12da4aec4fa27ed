#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include <gmock/gmock.h>
#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "support/process.h"

namespace {

using words_t = std::vector<std::string>;
using metrics_t = std::map<std::string, double>;
using mq::test::after;

// The port named after `mark` in a program's output; 0 without one.
std::uint16_t port_in(const std::string& text, const std::string& mark = "metrics on http://127.0.0.1:") {
  return static_cast<std::uint16_t>(std::atoi(after(text, mark).c_str()));
}

std::string source_file(const std::string& name) { return mq::test::read_file(MQ_SOURCE_DIR "/" + name); }

metrics_t parse_metrics(const std::string& text) {
  metrics_t m;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') m[line.substr(0, line.rfind(' '))] = std::stod(line.substr(line.rfind(' ')));
  return m;
}

// The unit's command line with the packaged options, the programs of this
// build, `config` for the packaged file and port 0 for the packaged one.
words_t packaged_command(const std::string& config) {
  std::smatch exec, options;
  const std::string unit = source_file("packaging/orvane-mail-quarantine.service"),
                    defaults = source_file("packaging/default");
  EXPECT_TRUE(std::regex_search(unit, exec, std::regex("\nExecStart=/usr/sbin/mq-overseer (.*)\n")));
  EXPECT_TRUE(std::regex_search(defaults, options, std::regex("\nMQ_OVERSEER_OPTIONS=\"(.*)\"\n")));
  const std::string line = std::regex_replace(exec[1].str(), std::regex("\\$MQ_OVERSEER_OPTIONS"), options[1].str());
  const std::map<std::string, std::string> moved = {{"/usr/sbin/orvane-mail-quarantine", ORVANE_MAIL_QUARANTINE_PATH},
                                                    {"/etc/orvane-mail-quarantine/config.json", config},
                                                    {"127.0.0.1:9467", "127.0.0.1:0"}};
  words_t args;
  std::istringstream in(line);
  for (std::string w; in >> w;) args.push_back(moved.count(w) ? moved.at(w) : w);
  EXPECT_EQ(1u, std::count(args.begin(), args.end(), "127.0.0.1:0")) << "the packaged address is 127.0.0.1:9467";
  return args;
}

// In a child with only `groups` besides nobody's: connect's errno, 0 when it connected.
int connect_as_nobody(const std::string& socket, std::vector<gid_t> groups) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(255);
    try {
      mq::net::connect_local(socket);
      _exit(0);
    } catch (const std::system_error& e) {
      _exit(e.code().value());
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WEXITSTATUS(status);
}

TEST(packaged_service, serves_metrics_that_agree_with_mqctl_and_keeps_the_sockets_to_its_group) {
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config;
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(source_file("packaging/config.json"), &config).ok());
  for (auto* path :
       {config.mutable_spool_dir(), config.mutable_sorter_socket_path(), config.mutable_client_socket_path()})
    *path = dir.path().string() + *path;
  config.mutable_run_as_user()->set_uid(::getuid());       // no such account here
  config.mutable_actual_log()->set_type(ov::Log::STDERR);  // into the test's output, not the machine's log
  // The runtime directory as the unit makes it: 0750, group-owned by the package's group.
  const std::string run_dir = std::filesystem::path(config.client_socket_path()).parent_path().string();
  const gid_t group = 54321;
  std::filesystem::create_directories(run_dir);
  ASSERT_EQ(0, ::chmod(run_dir.c_str(), 0750));
  // Only the runtime directory may keep nobody out: the temporary one lets it pass.
  const bool root =
      ::geteuid() == 0 && ::chown(run_dir.c_str(), 0, group) == 0 && ::chmod(dir.path().c_str(), 0711) == 0;
  mq::test::write_config(dir.file("config.json"), config);

  mq::test::daemon_process_t p({MQ_OVERSEER_PATH, packaged_command(dir.file("config.json")), {"COM_ORVANE_MONITOR"}});
  ASSERT_TRUE(p.wait_log("daemon ready with configuration revision 1"));
  const auto port = port_in(p.output());
  ASSERT_NE(0, port) << p.output();
  const auto scrape = [&](const std::string& request) { return mq::test::exchange(port, request); };

  const auto now = static_cast<std::uint64_t>(std::time(nullptr));
  mq::test::sorter_peer_t sorter(config.sorter_socket_path());
  for (const auto& [size, status, due] : std::vector<std::tuple<std::size_t, mq::Status, std::uint64_t>>{
           {10, mq::SMTP_FRESH, now - 100}, {20, mq::SMTP_FRESH, now + 1000}, {5, mq::BCC_ACCEPTED, 0}}) {
    mq::Entry entry;
    entry.set_next_access_ts(due);
    sorter.put(std::string(size, 'x'), status, entry);
  }

  const auto spool_fs = [&] {  // its size and free space
    struct statvfs fs {};
    EXPECT_EQ(0, ::statvfs(config.spool_dir().c_str(), &fs));
    return std::pair{static_cast<double>(fs.f_blocks) * fs.f_frsize, static_cast<double>(fs.f_bavail) * fs.f_frsize};
  };
  const double free_before = spool_fs().second;
  const std::string answer = scrape("GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n");
  ASSERT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n")) << answer;
  const std::string body = answer.substr(answer.find("\r\n\r\n") + 4);
  if (std::filesystem::exists("/usr/bin/promtool")) {
    const auto check = mq::test::run_program({"/usr/bin/promtool", {"check", "metrics"}, {}, "", "", body});
    EXPECT_EQ(0, check.status) << check.out << check.err;
  }

  // Every figure against mqctl stat; mqctl metrics says the same of the queues.
  const metrics_t m = parse_metrics(body);
  const auto stat =
      mq::test::run_program({MQCTL_PATH, {"--client-socket", config.client_socket_path(), "stat", "--json"}});
  google::protobuf::Struct s;
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(stat.out, &s).ok()) << stat.out << stat.err;
  const auto tool = mq::test::run_program(
      {MQCTL_PATH,
       {"--client-socket", config.client_socket_path(), "--sorter-socket", config.sorter_socket_path(), "metrics"}});
  EXPECT_EQ(0, tool.status) << tool.err;
  const metrics_t t = parse_metrics(tool.out);
  for (const char* status : {"smtp-fresh", "smtp-accepted", "bcc-fresh", "bcc-accepted"}) {
    const auto& fields = s.fields().at(status).struct_value().fields();
    const std::string label = std::string("{status=\"") + status + "\"}";
    for (const auto& [name, key] : {std::pair{"mail_quarantine_queue_messages", "messages"},
                                    std::pair{"mail_quarantine_queue_size_bytes", "bytes"}}) {
      EXPECT_EQ(fields.at(key).number_value(), m.at(name + label)) << name << label;
      EXPECT_EQ(m.at(name + label), t.at(name + label)) << name << label;
    }
  }
  EXPECT_THAT(m.at("mail_quarantine_queue_oldest_overdue_seconds{status=\"smtp-fresh\"}"),
              ::testing::AllOf(::testing::Ge(100), ::testing::Le(100 + mq::test::wait_limit().count() / 1000)));
  EXPECT_EQ((std::vector<double>{30, 0, 1, 1, 1, 0, 1}),
            (std::vector<double>{m.at("mail_quarantine_queue_size_bytes{status=\"smtp-fresh\"}"),
                                 m.at("mail_quarantine_queue_oldest_overdue_seconds{status=\"bcc-accepted\"}"),
                                 m.at("mail_quarantine_up"), m.at("mail_quarantine_queue_probe_success"),
                                 m.at("mail_quarantine_socket_connections{socket=\"sorter\"}"),
                                 m.at("mail_quarantine_socket_connections{socket=\"client\"}"),
                                 t.at("mail_quarantine_socket_connections{socket=\"sorter\"}")}));
  EXPECT_EQ(0u, t.count("mail_quarantine_up"));
  // The spool's file system as the daemon's own check sees it; others may
  // write to it meanwhile, hence the bounds on the free space.
  const auto [size, free] = spool_fs();
  EXPECT_EQ(
      (std::pair{size, std::min(std::floor(size / 20), 64.0 * 1024 * 1024)}),
      (std::pair{m.at("mail_quarantine_spool_filesystem_size_bytes"), m.at("mail_quarantine_spool_reserve_bytes")}));
  // Between what was free right before the scrape and right after it.
  EXPECT_GE(m.at("mail_quarantine_spool_filesystem_free_bytes"), std::min(free_before, free) - 64.0 * 1024 * 1024);
  EXPECT_LE(m.at("mail_quarantine_spool_filesystem_free_bytes"), std::max(free_before, free) + 64.0 * 1024 * 1024);
  EXPECT_EQ(0u, t.count("mail_quarantine_spool_reserve_bytes"));

  // Anything but GET /metrics, and a request past the endpoint's 8 KiB head
  // (the HTTP layer's other refusals: tests/web).
  for (const auto& [request, status] : std::vector<std::pair<std::string, std::string>>{
           {"POST /metrics HTTP/1.1\r\n\r\n", "405 Method Not Allowed"},
           {"GET /metricsx HTTP/1.1\r\n\r\n", "404 Not Found"},
           {"GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n",
            "431 Request Header Fields Too Large"}})
    EXPECT_EQ(0u, scrape(request).find("HTTP/1.1 " + status + "\r\n")) << request.substr(0, 40);

  // A thousand silent connections: the endpoint keeps a bounded number of
  // them open, and a scrape still gets its answer.
  std::vector<mq::util::unique_fd_t> silent;
  for (int i = 0; i < 1000; ++i) silent.push_back(mq::test::connect_loopback(port));
  EXPECT_EQ(0u, scrape("GET /metrics HTTP/1.1\r\n\r\n").find("HTTP/1.1 200 OK\r\n"));
  EXPECT_LT(mq::test::open_descriptors(p.pid()), 100u) << "descriptors of mq-overseer";

  if (root) {
    // Without the group nobody reaches either socket; with it, both.
    for (const auto& socket : {config.sorter_socket_path(), config.client_socket_path()})
      EXPECT_EQ((std::pair{EACCES, 0}), (std::pair{connect_as_nobody(socket, {}), connect_as_nobody(socket, {group})}))
          << socket;
  }
  p.send_signal(SIGTERM);
  EXPECT_EQ(0, p.wait_exit());
  if (!root) GTEST_SKIP() << "not root: the group's hold on the sockets is not checked";
}

TEST(overseer_restarts, grow_the_delay_then_give_up_and_start_over_after_a_healthy_run) {
  mq::test::temp_dir_t dir;
  // The script, its options, the lines logged and how often, the exit status.
  // For the journal, each line with its priority. In the last row every run
  // counts as healthy: the count and the delay start over each time.
  // clang-format off
  const std::vector<std::tuple<std::string, words_t, std::vector<std::pair<std::string, std::size_t>>,
                               std::optional<int>>> rows = {
      {"exit 3", {"--give-up-after", "4", "--journal"},
       {{"<4>mq-overseer: daemon exited with status 3 (", 3}, {"; restarting in 0.001 s (failure 1 of 4)", 1},
        {"; restarting in 0.002 s (failure 2 of 4)", 1}, {"; restarting in 0.004 s (failure 3 of 4)", 1},
        {"<3>mq-overseer: daemon exited with status 3 (", 1}, {"<6>mq-overseer: started ", 4},
        {"; it failed 4 times in a row, each within 60 s of its start: giving up", 1}}, 1},
      {"kill -KILL $$", {"--give-up-after", "3", "--restart-delay-max", "1"},
       {{"daemon killed by signal 9 (SIGKILL); restarting in 0.001 s (failure 1 of 3)", 1},
        {"daemon killed by signal 9 (SIGKILL); restarting in 0.001 s (failure 2 of 3)", 1}, {"giving up", 1}}, 1},
      {"exit 3", {"--give-up-after", "2", "--healthy-after", "0"}, {{"restarting in 0.001 s (failure 1 of 2)", 3}}, {}}};
  // clang-format on
  for (const auto& [script, options, lines, status] : rows) {
    SCOPED_TRACE(script + " " + ::testing::PrintToString(options));
    mq::test::write_script(dir.file("fake"), script);
    words_t args{"--daemon", dir.file("fake"), "--state-dir", dir.file("state"), "--restart-delay", "1"};
    args.insert(args.end(), options.begin(), options.end());
    mq::test::daemon_process_t p({MQ_OVERSEER_PATH, args, {"COM_ORVANE_MONITOR"}});
    for (const auto& [line, count] : lines) EXPECT_TRUE(p.wait_log(line, count)) << line;
    if (status) {
      EXPECT_EQ(*status, p.wait_exit());
      for (const auto& [line, count] : lines) EXPECT_EQ(count, p.count_log(line)) << line;
    }
  }
}

// The unit's reload at any moment of a start, the first or one after a
// crash of the daemon, kills nothing: it reaches the supervisor once that
// handles SIGHUP, and the daemon once it is configured. A process that
// never handles it is never signalled.
TEST(overseer_reloads, the_units_reload_at_any_moment_of_a_start_kills_nothing) {
  std::smatch exec;
  const std::string unit = source_file("packaging/orvane-mail-quarantine.service");
  ASSERT_TRUE(std::regex_search(unit, exec, std::regex("\nExecReload=/usr/sbin/mq-overseer (--[a-z]+) \\$MAINPID\n")));
  const auto reload = [&](pid_t pid) {
    return mq::test::run_program({MQ_OVERSEER_PATH, {exec[1], std::to_string(pid)}});
  };
  const std::string started = "started " ORVANE_MAIL_QUARANTINE_PATH " (pid ";
  using process_t = mq::test::daemon_process_t;
  const std::vector<std::pair<std::string, std::function<void(process_t&)>>> moments = {
      {"right after the spawn", [](process_t&) {}},
      {"at its first line", [](process_t& p) { EXPECT_TRUE(p.wait_log("mq-overseer: spool directory ")); }},
      {"as the daemon starts", [&](process_t& p) { EXPECT_TRUE(p.wait_log(started)); }},
      {"as the daemon starts again after a kill", [&](process_t& p) {
         ASSERT_TRUE(p.wait_log("daemon ready with configuration revision 1"));
         ::kill(std::stoi(after(p.output(), started)), SIGKILL);
         EXPECT_TRUE(p.wait_log(started, 2));
       }}};
  for (const auto& [moment, wait] : moments) {
    SCOPED_TRACE(moment);
    mq::test::temp_dir_t dir;
    process_t p({MQ_OVERSEER_PATH,
                 {"--daemon", ORVANE_MAIL_QUARANTINE_PATH, "--state-dir", dir.file("state"), "--restart-delay", "1"},
                 {"COM_ORVANE_MONITOR"}});
    wait(p);
    const auto r = reload(p.pid());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(p.wait_log("SIGHUP received, config will be ordered from Overseer")) << p.output();
    EXPECT_FALSE(p.exited());
    EXPECT_EQ(0u, p.count_log("signal 1 (SIGHUP)")) << p.output();
    p.send_signal(SIGTERM);
    EXPECT_EQ(0, p.wait_exit());
  }
  process_t sleeper({"/bin/sleep", {"0.5"}});
  const auto r = reload(sleeper.pid());
  EXPECT_EQ((std::pair{1, 0}), (std::pair{r.status, sleeper.wait_exit()})) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(" ended before it could reload")) << r.err;
}

// Out of descriptors (silent connections on the metrics port, open to any
// local user), a start fails like a daemon that died: tried again after the
// delay, and it succeeds once descriptors are free again.
TEST(overseer_restarts, a_start_without_descriptors_is_a_failure_to_retry) {
#ifdef __SANITIZE_ADDRESS__
  // The sanitizers' runtime checks memory through a pipe: with no descriptor
  // left it reports Boost's static error categories as broken objects.
  GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
#endif
  mq::test::temp_dir_t dir;
  mq::test::write_script(dir.file("fake"), "exit 3");
  mq::test::daemon_process_t p(
      {"/usr/bin/prlimit",
       {"--nofile=64", MQ_OVERSEER_PATH, "--daemon", dir.file("fake"), "--state-dir", dir.file("state"), "--metrics",
        "127.0.0.1:0", "--restart-delay", "100", "--restart-delay-max", "1000", "--give-up-after", "100"},
       {"COM_ORVANE_MONITOR"}});
  ASSERT_TRUE(p.wait_log("metrics on http://127.0.0.1:")) << p.output();
  const auto port = port_in(p.output());
  std::vector<mq::util::unique_fd_t> silent;
  for (int i = 0; i < 80; ++i) silent.push_back(mq::test::connect_loopback(port));
  ASSERT_TRUE(p.wait_log("cannot start the daemon: socketpair: Too many open files; restarting in ")) << p.output();
  const auto started = p.count_log("mq-overseer: started ");
  silent.clear();
  EXPECT_TRUE(p.wait_log("mq-overseer: started ", started + 1)) << p.output();
  EXPECT_FALSE(p.exited());
  p.send_signal(SIGTERM);
  p.wait_exit();
}

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
    for (pollfd p{fd_.get(), POLLIN, 0}; ::poll(&p, 1, static_cast<int>(mq::test::wait_limit().count())) == 1;) {
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
      {json, "reloading: waiting for configuration revision 2", "daemon ready with configuration revision 2"}};
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
  ::kill(std::stoi(daemon), SIGSTOP);
  const std::string body =
      mq::test::exchange(port_in(p.output()), "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n");
  ::kill(std::stoi(daemon), SIGCONT);
  EXPECT_GE(std::atof(after(body, "\nmail_quarantine_queue_probe_duration_seconds ").c_str()), 5.0) << body;
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
  const auto port = port_in(ready, "READY=1\nSTATUS=serving on http://127.0.0.1:");
  ASSERT_NE(0, port) << ready << p.output();
  EXPECT_THAT(mq::test::exchange(port, "GET /login HTTP/1.1\r\n\r\n"), ::testing::StartsWith("HTTP/1.1 "));
  EXPECT_GE(systemd.watchdogs, 1u);
  p.send_signal(SIGTERM);
  EXPECT_EQ("STOPPING=1", systemd.next());
  EXPECT_EQ(128 + SIGTERM, p.wait_exit());
}

}  // namespace
