// The bundled supervisor stand-in, run as people run it.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "support/daemon_process.h"

#ifdef MQ_OVERSEER_PATH

namespace {

using mq::test::daemon_options_t;
using mq::test::daemon_process_t;

daemon_options_t overseer(std::vector<std::string> args) {
  daemon_options_t o;
  o.program = MQ_OVERSEER_PATH;
  o.args = {"--daemon", ORVANE_MAIL_QUARANTINE_PATH};
  o.args.insert(o.args.end(), args.begin(), args.end());
  o.monitor = false;
  o.capture_stdout = true;
  return o;
}

void write_config(const std::string& path, const ov::MailQuarantineConfig& config) {
  std::string json;
  ASSERT_TRUE(google::protobuf::util::MessageToJsonString(config, &json).ok());
  std::ofstream(path) << json;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

TEST(overseer_tool, refuses_a_bad_configuration_file_without_starting_anything) {
  mq::test::temp_dir_t dir;
  // A stand-in daemon that leaves a mark if it is ever started.
  const std::string fake = dir.file("fake-daemon");
  std::ofstream(fake) << "#!/bin/sh\ntouch " << dir.file("started") << "\n";
  ASSERT_EQ(0, ::chmod(fake.c_str(), 0755));
  std::ofstream(dir.file("bad.json")) << R"({"spoolDir": "/x", "logLevel": "NOT_A_LEVEL"})";

  daemon_options_t o = overseer({"--config", dir.file("bad.json")});
  o.args[1] = fake;
  daemon_process_t p(o);
  const int status = p.wait_exit();
  EXPECT_NE(0, status);
  EXPECT_EQ(1u, p.count_log("bad configuration file " + dir.file("bad.json") + ": ")) << p.output();
  EXPECT_EQ(1u, p.count_log("NOT_A_LEVEL")) << p.output();
  EXPECT_FALSE(exists(dir.file("started")));
}

TEST(overseer_tool, runs_the_daemon_rereads_on_sighup_and_stops_on_sigterm) {
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path());
  write_config(dir.file("config.json"), config);

  // A socket file left by an earlier run, nobody listening.
  {
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, config.sorter_socket_path().c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    ::close(s);
  }

  daemon_process_t p(overseer({"--config", dir.file("config.json")}));
  EXPECT_TRUE(p.wait_log("sorter socket " + config.sorter_socket_path()));
  EXPECT_TRUE(p.wait_log("client socket " + config.client_socket_path()));
  EXPECT_TRUE(p.wait_log("removed stale socket " + config.sorter_socket_path()));
  ASSERT_TRUE(p.wait_log("daemon ready with configuration revision 1")) << p.output();
  EXPECT_TRUE(p.wait_log("Ready for service"));

  config.set_log_level(ov::LOG_LEVEL_INFO);
  write_config(dir.file("config.json"), config);
  p.send_signal(SIGHUP);
  EXPECT_TRUE(p.wait_log("daemon ready with configuration revision 2")) << p.output();

  p.send_signal(SIGTERM);
  EXPECT_EQ(0, p.wait_exit());
  EXPECT_EQ(1u, p.count_log("daemon exited with status 107 (EC_APP_TERMINATED)")) << p.output();
}

TEST(overseer_tool, restarts_the_daemon_that_asks_for_it) {
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path());
  write_config(dir.file("config.json"), config);
  daemon_process_t p(overseer({"--config", dir.file("config.json")}));
  ASSERT_TRUE(p.wait_log("daemon ready with configuration revision 1")) << p.output();

  // Another spool directory needs a new process, which gets revision 3.
  config.set_spool_dir(dir.file("spool2"));
  write_config(dir.file("config.json"), config);
  p.send_signal(SIGHUP);
  EXPECT_TRUE(p.wait_log("daemon exited with status 0 (EC_OK), restarting")) << p.output();
  EXPECT_TRUE(p.wait_log("daemon ready with configuration revision 3")) << p.output();
  EXPECT_TRUE(exists(dir.file("spool2/queue.db")));

  p.send_signal(SIGINT);
  EXPECT_EQ(0, p.wait_exit());
}

TEST(overseer_tool, embedded_configuration_under_the_state_folder) {
  mq::test::temp_dir_t dir;
  daemon_process_t p(overseer({"--state-dir", dir.file("state")}));
  ASSERT_TRUE(p.wait_log("daemon ready with configuration revision 1")) << p.output();
  EXPECT_TRUE(exists(dir.file("state/spool/queue.db")));
  EXPECT_TRUE(exists(dir.file("state/sorter.sock")));
  EXPECT_TRUE(exists(dir.file("state/client.sock")));
  p.send_signal(SIGTERM);
  EXPECT_EQ(0, p.wait_exit());
}

TEST(overseer_tool, reports_a_failing_daemon_with_its_status_name) {
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path());
  config.mutable_run_as_user()->Clear();
  config.mutable_run_as_user()->set_name("mq-no-such-user");
  write_config(dir.file("config.json"), config);
  daemon_process_t p(overseer({"--config", dir.file("config.json")}));
  EXPECT_EQ(102, p.wait_exit());
  EXPECT_EQ(1u, p.count_log("daemon exited with status 102 (EC_BAD_CONFIG)")) << p.output();
}

}  // namespace

#endif
