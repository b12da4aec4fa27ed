// The test supervisor itself, against small shell programs: if it lost
// lines, frames or statuses, every process test built on it would lie.
#include <signal.h>

#include <gtest/gtest.h>

#include "support/daemon_process.h"

namespace {

using mq::test::daemon_options_t;
using mq::test::daemon_process_t;
using in_t = ov::MailQuarantine2OverseerMessage;

daemon_options_t shell(const std::string& script) {
  daemon_options_t o;
  o.program = "/bin/sh";
  o.args = {"-c", script};
  return o;
}

TEST(daemon_process, collects_lines_and_exit_status) {
  daemon_process_t p(shell("echo first >&2; printf 'second\\nlast-without-newline' >&2; exit 3"));
  EXPECT_TRUE(p.wait_log("second"));
  EXPECT_EQ(3, p.wait_exit());
  EXPECT_EQ(3, p.wait_exit());
  EXPECT_TRUE(p.wait_log("last-without-newline"));
  EXPECT_EQ("first\nsecond\nlast-without-newline\n", p.output());
  EXPECT_FALSE(p.wait_log("never written", 100));
  EXPECT_EQ(1u, p.count_log("first"));
}

TEST(daemon_process, reports_the_killing_signal) {
  daemon_process_t p(shell("echo up >&2; exec sleep 1000"));
  ASSERT_TRUE(p.wait_log("up"));
  p.send_signal(SIGTERM);
  EXPECT_EQ(128 + SIGTERM, p.wait_exit());
}

TEST(daemon_process, monitor_socket_is_inherited_and_named) {
  // cat echoes every frame back over the inherited socket.
  daemon_process_t p(
      shell("echo \"fd=$COM_ORVANE_MONITOR\" >&2; exec cat <&$COM_ORVANE_MONITOR >&$COM_ORVANE_MONITOR"));
  ASSERT_TRUE(p.wait_log("fd="));
  ov::MailQuarantineConfig config;
  config.set_spool_dir("/x");
  p.send_config(config, 41);
  auto echoed = p.read_message();
  ASSERT_TRUE(echoed);
  EXPECT_EQ(in_t::GET_CONFIG_REQUEST, echoed->tag());  // same number as GET_CONFIG_RESPONSE
  EXPECT_EQ(41u, echoed->config_revision());

  // A stat frame is skipped while waiting for another tag.
  in_t stat;
  stat.set_tag(in_t::MY_STAT_NOTIFICATION);
  stat.mutable_stat()->set_clients(2);
  in_t info;
  info.set_tag(in_t::MY_INFO_NOTIFICATION);
  info.set_config_revision(7);
  p.send_frame(stat.SerializeAsString());
  p.send_frame(info.SerializeAsString());
  EXPECT_EQ(7u, p.wait_message(in_t::MY_INFO_NOTIFICATION).config_revision());

  // Any other message while waiting is an error.
  p.send_frame(info.SerializeAsString());
  EXPECT_THROW(p.wait_message(in_t::GET_CONFIG_REQUEST), std::runtime_error);

  // Nothing arrives: the read times out.
  EXPECT_THROW(p.read_message(50), std::runtime_error);

  p.close_monitor();
  EXPECT_EQ(0, p.wait_exit());
}

TEST(daemon_process, channel_end_reads_as_nullopt) {
  // Exiting closes the child's end of the channel.
  daemon_process_t p(shell("exit 0"));
  EXPECT_EQ(0, p.wait_exit());
  EXPECT_FALSE(p.read_message());
}

TEST(daemon_process, bad_monitor_value_and_extra_environment) {
  daemon_options_t o = shell("echo \"m=[$COM_ORVANE_MONITOR] x=[$MQ_EXTRA]\" >&2");
  o.monitor = false;
  o.monitor_value = "12x";
  o.env = {"MQ_EXTRA=yes"};
  daemon_process_t p(o);
  EXPECT_EQ(0, p.wait_exit());
  EXPECT_EQ(1u, p.count_log("m=[12x] x=[yes]"));
  EXPECT_EQ(-1, p.monitor_fd());
}

TEST(daemon_process, temp_dir_is_removed_with_its_contents) {
  std::string path;
  {
    mq::test::temp_dir_t dir;
    path = dir.path();
    ASSERT_EQ(0, ::mkdir(dir.file("sub").c_str(), 0700));
    auto config = mq::test::make_test_config(dir.path());
    EXPECT_EQ(dir.path() + "/spool", config.spool_dir());
    EXPECT_EQ(dir.path() + "/sorter.sock", config.sorter_socket_path());
    EXPECT_EQ(dir.path() + "/client.sock", config.client_socket_path());
    EXPECT_EQ(static_cast<int64_t>(::getuid()), config.run_as_user().uid());
    EXPECT_EQ(ov::Log::STDERR, config.actual_log().type());
  }
  struct stat st;
  EXPECT_NE(0, ::stat(path.c_str(), &st));
}

}  // namespace
