// The bundled supervisor stand-in, run as people run it.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "support/process.h"

#ifdef MQ_OVERSEER_PATH

namespace {

using mq::test::daemon_process_t;

mq::test::command_t overseer(const std::string& daemon, std::vector<std::string> args) {
  args.insert(args.begin(), {"--daemon", daemon});
  return {MQ_OVERSEER_PATH, args, {"COM_ORVANE_MONITOR"}};
}

void write_config(const std::string& path, const ov::MailQuarantineConfig& config) {
  std::string json;
  ASSERT_TRUE(google::protobuf::util::MessageToJsonString(config, &json).ok());
  mq::test::write_file(path, json);
}

TEST(overseer_tool, removes_a_stale_socket_restarts_a_daemon_that_exits_0_and_stops) {
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path().string());
  write_config(dir.file("config.json"), config);
  {
    // A socket file left by an earlier run, nobody listening.
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, config.sorter_socket_path().c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    ::close(s);
  }
  daemon_process_t p(overseer(ORVANE_MAIL_QUARANTINE_PATH, {"--config", dir.file("config.json")}));
  EXPECT_TRUE(p.wait_log("removed stale socket " + config.sorter_socket_path()));
  ASSERT_TRUE(p.wait_log("daemon ready with configuration revision 1"));
  EXPECT_TRUE(p.wait_log("Ready for service"));

  // Another spool directory needs a new process, which gets revision 3.
  config.set_spool_dir(dir.file("spool2"));
  write_config(dir.file("config.json"), config);
  p.send_signal(SIGHUP);
  EXPECT_TRUE(p.wait_log("daemon exited with status 0 (EC_OK), restarting"));
  EXPECT_TRUE(p.wait_log("daemon ready with configuration revision 3"));
  EXPECT_TRUE(std::filesystem::exists(dir.file("spool2/queue.db")));

  p.send_signal(SIGTERM);
  EXPECT_EQ(0, p.wait_exit());
  EXPECT_EQ(1u, p.count_log("daemon exited with status 107 (EC_APP_TERMINATED)"));
}

TEST(overseer_tool, embedded_configuration_under_the_state_folder) {
  mq::test::temp_dir_t dir;
  daemon_process_t p(overseer(ORVANE_MAIL_QUARANTINE_PATH, {"--state-dir", dir.file("state")}));
  ASSERT_TRUE(p.wait_log("daemon ready with configuration revision 1"));
  for (const char* name : {"state/spool/queue.db", "state/sorter.sock", "state/client.sock"})
    EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
  p.send_signal(SIGINT);
  EXPECT_EQ(0, p.wait_exit());
}

TEST(overseer_tool, bad_configurations_end_it) {
  mq::test::temp_dir_t dir;
  // A stand-in daemon that leaves a mark if it is ever started.
  mq::test::write_file(dir.file("fake"), "#!/bin/sh\ntouch " + dir.file("started") + "\n");
  ASSERT_EQ(0, ::chmod(dir.file("fake").c_str(), 0755));
  mq::test::write_file(dir.file("bad.json"), R"({"spoolDir": "/x", "logLevel": "NOT_A_LEVEL"})");
  daemon_process_t refused(overseer(dir.file("fake"), {"--config", dir.file("bad.json")}));
  EXPECT_NE(0, refused.wait_exit());
  EXPECT_EQ(1u, refused.count_log("bad configuration file " + dir.file("bad.json") + ": ")) << refused.output();
  EXPECT_FALSE(std::filesystem::exists(dir.file("started")));

  // A daemon that cannot apply it ends the stand-in with its status.
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path().string());
  config.mutable_run_as_user()->Clear();
  config.mutable_run_as_user()->set_name("mq-no-such-user");
  write_config(dir.file("config.json"), config);
  daemon_process_t failed(overseer(ORVANE_MAIL_QUARANTINE_PATH, {"--config", dir.file("config.json")}));
  EXPECT_EQ(102, failed.wait_exit());
  EXPECT_EQ(1u, failed.count_log("daemon exited with status 102 (EC_BAD_CONFIG)"));
}

}  // namespace

#endif
