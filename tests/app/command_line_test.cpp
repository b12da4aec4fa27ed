// The programs run from a shell: the daemon without a supervisor, the
// description of its executable, and the bundled supervisor stand-in.
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "app/app_exe_info.h"
#include "ov/error.h"
#include "support/process.h"

namespace {

const char* const program = ORVANE_MAIL_QUARANTINE_PATH;
const std::string help =
    "Command line options:\n"
    "  -h [ --help ]         print help message and exit\n"
    "  -v [ --version ]      print version and exit\n"
    "\n";
const std::string version = "orvane-mail-quarantine " MQ_VERSION "\n";
const std::string bad_cast = "Error: bad lexical cast: source type value could not be interpreted as target\n";
const std::string refusal = "Cannot run standalone. See orvane-mail-quarantine(1) for details.\n";

std::string base64(const std::string& data) {
  std::vector<unsigned char> text(data.size() * 2 + 4);
  const auto in = reinterpret_cast<const unsigned char*>(data.data());
  return std::string(text.begin(), text.begin() + EVP_EncodeBlock(text.data(), in, static_cast<int>(data.size())));
}

std::string record_json(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, ::stat(path.c_str(), &st));
  const passwd* owner = ::getpwuid(st.st_uid);
  const std::string data = mq::test::read_file(path);
  unsigned char md5[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), md5, &size, EVP_md5(), nullptr));
  return "{\"version\":\"" MQ_VERSION "\",\"installTime\":\"" + std::to_string(st.st_ctime) +
         "\",\"modificationTime\":\"" + std::to_string(st.st_mtime) + "\",\"exeSize\":\"" + std::to_string(st.st_size) +
         "\",\"exeMd5\":\"" + base64(std::string(reinterpret_cast<char*>(md5), size)) + "\",\"exeOwner\":\"" +
         base64(owner ? owner->pw_name : std::to_string(st.st_uid)) + "\"}\n";
}

TEST(command_line, status_and_output) {
  // The record follows a relative argv[0] and a link to the target; as root,
  // an owner without a user entry is named by its uid.
  mq::test::temp_dir_t dir;
  ASSERT_EQ(0, ::mkdir(dir.file("bin").c_str(), 0700));
  mq::test::write_file(dir.file("bin/exe"), "the real executable");
  ASSERT_EQ(0, ::symlink("exe", dir.file("bin/link").c_str()));
  if (::geteuid() == 0 && !::getpwuid(4321)) {
    ASSERT_EQ(0, ::chown(dir.file("bin/exe").c_str(), 4321, 4321));
  }
  const std::string link_record = record_json(dir.file("bin/exe"));
  const struct {
    const char* name;
    std::vector<std::string> argv;  // argv[0] first
    std::vector<std::string> env;
    int status;
    std::string out, err;
  } rows[] = {
      {"help", {program, "--help"}, {}, 0, help, ""},
      {"version", {program, "-v"}, {}, 0, version, ""},
      {"long_names_ignore_case_and_abbreviate", {program, "--VERS"}, {}, 0, version, ""},
      {"help_wins_over_version", {program, "-vh"}, {}, 0, help, ""},
      {"version_wins_over_dump", {program, "--version", "--dump-app-info"}, {}, 0, version, ""},
      {"dump_app_info", {program, "--dump-app-info"}, {}, 0, record_json(program), ""},
      {"dump_via_a_relative_link", {"bin/../bin/./link", "--dump-app-info"}, {}, 0, link_record, ""},
      // The record cannot be built when argv[0] names no file; still status 0.
      {"dump_with_an_unknown_path", {"/nonexistent/orvane-mail-quarantine", "--dump-app-info"}, {}, 0, "{}\n", ""},
      {"no_option_refuses", {program}, {}, 1, refusal, ""},
      {"other_words_are_ignored", {program, "start"}, {}, 1, refusal, ""},
      {"unknown_option", {program, "--frobnicate"}, {}, 125, "", "Error: unrecognised option '--frobnicate'\n"},
      {"bad_monitor_variable_wins", {program, "--help"}, {"COM_ORVANE_MONITOR=12x"}, 125, "", bad_cast},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    mq::test::command_t command{program,
                                {row.argv.begin() + 1, row.argv.end()},
                                {"COM_ORVANE_MONITOR", "COM_ORVANE_ADD_LOG_PIPE"},
                                row.argv[0],
                                dir.path().string()};
    command.env.insert(command.env.end(), row.env.begin(), row.env.end());
    const auto r = mq::test::run_program(command);
    EXPECT_EQ(row.status, r.status);
    EXPECT_EQ(row.out, r.out);
    EXPECT_EQ(row.err, r.err);
  }
}

TEST(app_exe_info, failures_give_code_and_text) {
  mq::test::temp_dir_t dir;
  mq::test::write_file(dir.file("exe"), "x");
  ASSERT_EQ(0, ::chmod(dir.file("exe").c_str(), 0));
  // Reading the own memory image from its start fails.
  ASSERT_EQ(0, ::symlink("/proc/self/mem", dir.file("a\"b&c").c_str()));
  const struct {
    const char* name;  // in the folder; nullptr for an empty argv
    int code;
    std::string text;  // "" when the library's text is not ours
  } rows[] = {
      {nullptr, 125, "Unknown exe path"},
      {"missing", 23, ""},
      {".", 33, "Not a regular file [ov.Error:33]"},
      {"exe", 24, "MD5: open: Permission denied [system:13]: \"" + dir.file("exe") + "\""},
      // The path shows how quotes and ampersands are escaped.
      {"a\"b&c", 125, "MD5: read: Input/output error [system:5]: \"" + dir.file("a&\"b&&c") + "\""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name ? row.name : "empty argv");
    if (row.code == 24 && ::geteuid() == 0) continue;  // root reads any file
    try {
      char* argv[] = {nullptr};
      row.name ? ov::make_app_exe_info("1", dir.file(row.name)) : ov::make_app_exe_info("1", 0, argv);
      ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
      EXPECT_EQ(row.code, ov::error_code_of(e));
      if (!row.text.empty()) {
        EXPECT_EQ(row.text, ov::exception_text(e));
      }
    }
  }
}

#ifdef MQ_OVERSEER_PATH
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
  mq::test::daemon_process_t p(overseer(ORVANE_MAIL_QUARANTINE_PATH, {"--config", dir.file("config.json")}));
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
  mq::test::daemon_process_t p(overseer(ORVANE_MAIL_QUARANTINE_PATH, {"--state-dir", dir.file("state")}));
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
  mq::test::daemon_process_t refused(overseer(dir.file("fake"), {"--config", dir.file("bad.json")}));
  EXPECT_NE(0, refused.wait_exit());
  EXPECT_EQ(1u, refused.count_log("bad configuration file " + dir.file("bad.json") + ": ")) << refused.output();
  EXPECT_FALSE(std::filesystem::exists(dir.file("started")));

  // A daemon that cannot apply it ends the stand-in with its status.
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path().string());
  config.mutable_run_as_user()->Clear();
  config.mutable_run_as_user()->set_name("mq-no-such-user");
  write_config(dir.file("config.json"), config);
  mq::test::daemon_process_t failed(overseer(ORVANE_MAIL_QUARANTINE_PATH, {"--config", dir.file("config.json")}));
  EXPECT_EQ(102, failed.wait_exit());
  EXPECT_EQ(1u, failed.count_log("daemon exited with status 102 (EC_BAD_CONFIG)"));
}
#endif

}  // namespace
