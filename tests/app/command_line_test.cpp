// The programs run from a shell: the daemon without a supervisor, the
// description of its executable, its last-resort handler, and the bundled
// supervisor stand-in.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem/exception.hpp>

#include "app/last_resort.h"
#include "ov/error.h"
#include "ov/log.h"
#include "support/process.h"

namespace {

const char* const program = ORVANE_MAIL_QUARANTINE_PATH;
const std::string help =
    "Command line options:\n  -h [ --help ]         print help message and exit\n"
    "  -v [ --version ]      print version and exit\n\n";
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
  unsigned char md5[16];
  EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), md5, nullptr, EVP_md5(), nullptr));
  return "{\"version\":\"" MQ_VERSION "\",\"installTime\":\"" + std::to_string(st.st_ctime) +
         "\",\"modificationTime\":\"" + std::to_string(st.st_mtime) + "\",\"exeSize\":\"" + std::to_string(st.st_size) +
         "\",\"exeMd5\":\"" + base64(std::string(reinterpret_cast<char*>(md5), 16)) + "\",\"exeOwner\":\"" +
         base64(owner ? owner->pw_name : std::to_string(st.st_uid)) + "\"}\n";
}

TEST(command_line, status_and_output) {
  // The record follows a relative argv[0] and a link to the target; as root,
  // an owner without a user entry is named by its uid.
  mq::test::temp_dir_t dir;
  ASSERT_EQ(0, ::mkdir(dir.file("bin").c_str(), 0700));
  mq::test::write_file(dir.file("bin/exe"), "the real executable");
  ASSERT_EQ(0, ::symlink("exe", dir.file("bin/link").c_str()));
  ASSERT_TRUE(::geteuid() != 0 || ::getpwuid(4321) || ::chown(dir.file("bin/exe").c_str(), 4321, 4321) == 0);
  // Reading the own memory image from its start fails, even as root.
  ASSERT_EQ(0, ::symlink("/proc/self/mem", dir.file("unreadable").c_str()));
  const struct {
    const char* name;
    std::vector<std::string> argv;  // argv[0] first
    int status;
    std::string out, err, monitor = "COM_ORVANE_MONITOR";  // the variable unset unless a row sets it
  } rows[] = {
      {"help", {program, "--help"}, 0, help, ""},
      {"version", {program, "-v"}, 0, version, ""},
      {"long_names_ignore_case_and_abbreviate", {program, "--VERS"}, 0, version, ""},
      {"help_wins_over_version", {program, "-vh"}, 0, help, ""},
      {"version_wins_over_dump", {program, "--version", "--dump-app-info"}, 0, version, ""},
      {"dump_app_info", {program, "--dump-app-info"}, 0, record_json(program), ""},
      {"dump_via_a_relative_link", {"bin/../bin/./link", "--dump-app-info"}, 0, record_json(dir.file("bin/exe")), ""},
      // The record cannot be built when argv[0] names no file, a directory or
      // one that cannot be read; still status 0.
      {"dump_with_an_unknown_path", {"/nonexistent/orvane-mail-quarantine", "--dump-app-info"}, 0, "{}\n", ""},
      {"dump_with_a_directory", {"bin", "--dump-app-info"}, 0, "{}\n", ""},
      {"dump_with_an_unreadable_file", {"unreadable", "--dump-app-info"}, 0, "{}\n", ""},
      {"no_option_refuses", {program}, 1, refusal, ""},
      {"other_words_are_ignored", {program, "start"}, 1, refusal, ""},
      {"unknown_option", {program, "--frobnicate"}, 125, "", "Error: unrecognised option '--frobnicate'\n"},
      {"bad_monitor_variable_wins", {program, "--help"}, 125, "", bad_cast, "COM_ORVANE_MONITOR=12x"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<std::string> args(row.argv.begin() + 1, row.argv.end());
    const auto r = mq::test::run_program(
        {program, args, {"COM_ORVANE_ADD_LOG_PIPE", row.monitor}, row.argv[0], dir.path().string()});
    EXPECT_EQ((std::tuple{row.status, row.out, row.err}), (std::tuple{r.status, r.out, r.err}));
  }
}

// The terminate handler and the protobuf log hook, each row run in a fresh
// child: this test re-executed with MQ_APP_SCENARIO naming the row.
template <typename E>
[[noreturn]] void terminate_with(E e) {
  std::set_terminate(&mq::app::last_resort_handler);
  try {
    throw e;
  } catch (...) {
    std::terminate();
  }
}

boost::filesystem::filesystem_error fs_error(const char* what, int value) {
  return {what, "/p", {value, boost::system::system_category()}};
}

const struct scenario_t {
  const char* name;
  void (*run)();
  int status;
  const char* err;
} scenarios[] = {
    {"filesystem_error", [] { terminate_with(fs_error("boost::filesystem::status", ENOENT)); }, 23,
     "Error: status: No such file or directory [system:2]: \"/p\"\n"},
    // A std::system_error carries no code of ours.
    {"std_system_error",
     [] { terminate_with(std::system_error(std::error_code(EACCES, std::system_category()), "open")); }, 125,
     "Error: open: Permission denied\n"},
    {"bare_error_code", [] { terminate_with(ov::EC_BAD_CONFIG); }, 125, "Error: Unexpected exception\n"},
    {"no_exception", [] { std::set_terminate(&mq::app::last_resort_handler), std::terminate(); }, 125,
     "Error: Unexpected exception\n"},
    // Without a log it installs the default one at notice; buffered lines
    // replay. It ends without running exit handlers.
    {"buffered_lines_replayed_at_notice_no_exit_handlers",
     [] {
       std::atexit([] { std::fputs("exit handler ran\n", stderr); });
       ov::cf_log_write(1, "info before");
       ov::cf_log_write(2, "notice before");
       terminate_with(std::runtime_error("boost::asio::misc: gone"));
     },
     125, "Notice: notice before\nError: misc: gone\n"},
    {"installed_log_above_error_keeps_its_threshold",
     [] {
       ov::cf_log_threshold = 5, ov::cf_log_set(ov::cf_make_default_log());
       terminate_with(fs_error("stat", ENOTDIR));
     },
     25, ""},
    {"protobuf_levels_and_the_dropped_warning",
     [] {
       using namespace google::protobuf;
       ov::cf_log_threshold = 0, ov::cf_log_set(ov::cf_make_default_log());
       google::protobuf::SetLogHandler(&mq::app::protobuf_log_handler);
       mq::app::protobuf_log_handler(LOGLEVEL_INFO, "f.cc", 1, "info");
       GOOGLE_LOG(WARNING) << "Reading dangerously large protocol message.  If the message turns out";
       GOOGLE_LOG(WARNING) << "Reading dangerously large protocol message";
       mq::app::protobuf_log_handler(LOGLEVEL_ERROR, "f.cc", 1, "error");
       mq::app::protobuf_log_handler(LOGLEVEL_FATAL, "f.cc", 1, "fatal");
       ov::cf_log_threshold = 4;
       mq::app::protobuf_log_handler(LOGLEVEL_WARNING, "f.cc", 1, "below the threshold");
       terminate_with(std::runtime_error("end"));
     },
     125, "Info: info\nWarning: Reading dangerously large protocol message\nError: error\nError: fatal\nError: end\n"},
};

TEST(last_resort, status_and_standard_error) {
  if (const char* name = std::getenv("MQ_APP_SCENARIO")) {  // the child
    for (const auto& s : scenarios)
      if (s.name == std::string(name)) s.run();
    std::_Exit(90);
  }
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    const auto r = mq::test::run_program(
        {"/proc/self/exe", {"--gtest_filter=last_resort.*"}, {std::string("MQ_APP_SCENARIO=") + s.name}});
    EXPECT_EQ((std::pair<int, std::string>{s.status, s.err}), (std::pair{r.status, r.err}));
  }
}

#ifdef MQ_OVERSEER_PATH
mq::test::command_t overseer(const std::string& daemon, std::vector<std::string> args) {
  args.insert(args.begin(), {"--daemon", daemon});
  return {MQ_OVERSEER_PATH, args, {"COM_ORVANE_MONITOR"}};
}

TEST(overseer_tool, removes_stale_sockets_restarts_on_exit_0_runs_an_embedded_configuration_refuses_bad_ones) {
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path().string());
  mq::test::write_config(dir.file("config.json"), config);
  boost::asio::io_context io;  // a socket file left by an earlier run, nobody listening
  boost::asio::local::stream_protocol::acceptor(io, {config.sorter_socket_path()}).close();
  mq::test::daemon_process_t p(overseer(ORVANE_MAIL_QUARANTINE_PATH, {"--config", dir.file("config.json")}));
  EXPECT_TRUE(p.wait_log("removed stale socket " + config.sorter_socket_path()));
  ASSERT_TRUE(p.wait_log("daemon ready with configuration revision 1"));

  // A wrong file on SIGHUP is refused by the field's name; the daemon is left alone.
  ov::MailQuarantineConfig wrong = config;
  wrong.set_spool_dir("spool");
  mq::test::write_config(dir.file("config.json"), wrong);
  p.send_signal(SIGHUP);
  EXPECT_TRUE(p.wait_log(": field spool_dir: 'spool' is not an absolute path; keeping the previous configuration"));

  // Another spool directory needs a new process, which gets revision 3.
  config.set_spool_dir(dir.file("spool2"));
  mq::test::write_config(dir.file("config.json"), config);
  p.send_signal(SIGHUP);
  EXPECT_TRUE(p.wait_log("daemon exited with status 0 (EC_OK), restarting"));
  EXPECT_TRUE(p.wait_log("daemon ready with configuration revision 3"));
  EXPECT_EQ(2u, p.count_log("started "));  // none for the wrong file
  EXPECT_TRUE(std::filesystem::exists(dir.file("spool2/queue.db")));

  p.send_signal(SIGTERM);
  EXPECT_EQ(0, p.wait_exit());
  EXPECT_EQ(1u, p.count_log("daemon exited with status 107 (EC_APP_TERMINATED)"));

  mq::test::daemon_process_t embedded(overseer(ORVANE_MAIL_QUARANTINE_PATH, {"--state-dir", dir.file("state")}));
  ASSERT_TRUE(embedded.wait_log("daemon ready with configuration revision 1"));
  for (const char* name : {"state/spool/queue.db", "state/sorter.sock", "state/client.sock"})
    EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
  embedded.send_signal(SIGINT);
  EXPECT_EQ(0, embedded.wait_exit());

  // A stand-in daemon that leaves a mark if it is ever started.
  mq::test::write_script(dir.file("fake"), "touch " + dir.file("started"));
  mq::test::write_file(dir.file("bad.json"), R"({"spoolDir": "/x", "logLevel": "NOT_A_LEVEL"})");
  mq::test::daemon_process_t refused(overseer(dir.file("fake"), {"--config", dir.file("bad.json")}));
  EXPECT_NE(0, refused.wait_exit());
  EXPECT_EQ(1u, refused.count_log("bad configuration file " + dir.file("bad.json") + ": ")) << refused.output();
  EXPECT_FALSE(std::filesystem::exists(dir.file("started")));

  // A daemon that cannot apply it (a uid without an account) ends the
  // stand-in with its status, not restarted.
  config.mutable_run_as_user()->set_uid(3999999);
  mq::test::write_config(dir.file("config.json"), config);
  mq::test::daemon_process_t failed(overseer(ORVANE_MAIL_QUARANTINE_PATH, {"--config", dir.file("config.json")}));
  EXPECT_EQ(102, failed.wait_exit());
  EXPECT_EQ(1u, failed.count_log("daemon exited with status 102 (EC_BAD_CONFIG): it cannot apply the configuration; "
                                 "not restarting"));
}
#endif

}  // namespace
