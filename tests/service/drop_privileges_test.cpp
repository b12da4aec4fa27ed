// Handing files to the run-as user and giving up root. The switch itself
// happens in a forked child, so the test process keeps its identity.
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ov/logger.h"
#include "service/drop_privileges.h"
#include "support/daemon_process.h"

namespace {

constexpr std::uint32_t foreign_uid = 4242;

struct log_capture_t {
  log_capture_t() {
    ov::util::logger::set_log_level(0);
    ov::util::logger::set_log_function([this](std::int32_t level, const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex);
      lines.push_back(std::to_string(level) + " " + text);
    });
  }
  ~log_capture_t() {
    ov::util::logger::set_log_function([](std::int32_t, const std::string&) {});
  }
  std::string all() {
    std::lock_guard<std::mutex> lock(mutex);
    std::string r;
    for (auto& l : lines) r += l + "\n";
    return r;
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

void touch(const std::string& path, uid_t owner = 0) {
  std::ofstream(path) << "x";
  ASSERT_EQ(0, ::chown(path.c_str(), owner, owner));
}

uid_t owner_of(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return static_cast<uid_t>(-1);
  return st.st_uid;
}

void bind_socket(const std::string& path) {
  int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  ::close(s);
}

#define REQUIRE_ROOT() \
  if (::getuid() != 0) GTEST_SKIP() << "needs root"

TEST(change_owner, changes_files_but_never_goes_through_a_link) {
  REQUIRE_ROOT();
  log_capture_t log;
  mq::test::temp_dir_t dir;
  touch(dir.file("plain"));
  touch(dir.file("foreign"), foreign_uid);
  ASSERT_EQ(0, ::symlink(dir.file("foreign").c_str(), dir.file("link").c_str()));

  mq::service::change_owner(dir.file("plain"), 1234, 1234);
  EXPECT_EQ(1234u, owner_of(dir.file("plain")));

  mq::service::change_owner(dir.file("link"), 1234, 1234);
  EXPECT_EQ(foreign_uid, owner_of(dir.file("foreign")));
  EXPECT_EQ(0u, owner_of(dir.file("link")));

  mq::service::change_owner(dir.file("missing"), 1234, 1234);
  EXPECT_EQ("3 chown " + dir.file("link") + ": Too many levels of symbolic links\n" +  //
                "3 chown " + dir.file("missing") + ": No such file or directory\n",
            log.all());
}

TEST(change_owner, leaves_a_hard_link_to_a_foreign_file_alone) {
  REQUIRE_ROOT();
  log_capture_t log;
  mq::test::temp_dir_t dir;
  touch(dir.file("foreign"), foreign_uid);
  ASSERT_EQ(0, ::link(dir.file("foreign").c_str(), dir.file("hard").c_str()));
  mq::service::change_owner(dir.file("hard"), 1234, 1234);
  EXPECT_EQ(foreign_uid, owner_of(dir.file("foreign")));
  EXPECT_EQ("3 chown " + dir.file("hard") + ": Too many links\n", log.all());
}

// Runs configure() in a child and returns "uid gid" as the child saw them
// afterwards, or the error text.
std::string configure_in_child(const ov::MailQuarantineConfig& config) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "pipe failed";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    std::string result;
    try {
      mq::service::drop_privileges_t(&config).configure();
      uid_t r, e, s;
      gid_t gr, ge, gs;
      ::getresuid(&r, &e, &s);
      ::getresgid(&gr, &ge, &gs);
      result = std::to_string(r) + "/" + std::to_string(e) + "/" + std::to_string(s) + " " + std::to_string(gr) + "/" +
               std::to_string(ge) + "/" + std::to_string(gs);
    } catch (const std::exception& e) {
      result = e.what();
    }
    ssize_t ignored = ::write(pipe_fds[1], result.data(), result.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string result;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer, sizeof(buffer))) > 0) result.append(buffer, n);
  ::close(pipe_fds[0]);
  int status;
  ::waitpid(pid, &status, 0);
  return result;
}

TEST(drop_privileges, hands_over_spool_files_socket_and_log_then_switches_user) {
  REQUIRE_ROOT();
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nullptr, nobody);
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;

  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path());
  config.mutable_run_as_user()->Clear();
  config.mutable_run_as_user()->set_name("nobody");
  config.mutable_log()->set_type(ov::Log::FILE);
  config.mutable_log()->set_path(dir.file("daemon.log"));

  const std::string spool = config.spool_dir();
  ASSERT_EQ(0, ::mkdir(spool.c_str(), 0770));
  touch(spool + "/queue.db");
  ASSERT_EQ(0, ::mkdir((spool + "/queue").c_str(), 0770));
  touch(spool + "/queue/message");
  touch(dir.file("passwd-like"), foreign_uid);
  ASSERT_EQ(0, ::symlink(dir.file("passwd-like").c_str(), (spool + "/planted").c_str()));
  touch(dir.file("daemon.log"));
  bind_socket(config.sorter_socket_path());
  bind_socket(config.client_socket_path());

  EXPECT_EQ(std::to_string(uid) + "/" + std::to_string(uid) + "/" + std::to_string(uid) + " " + std::to_string(gid) +
                "/" + std::to_string(gid) + "/" + std::to_string(gid),
            configure_in_child(config));

  EXPECT_EQ(uid, owner_of(spool));
  EXPECT_EQ(uid, owner_of(spool + "/queue.db"));
  EXPECT_EQ(uid, owner_of(config.sorter_socket_path()));
  EXPECT_EQ(uid, owner_of(dir.file("daemon.log")));
  // Not the client socket, not subdirectories or their contents.
  EXPECT_EQ(0u, owner_of(config.client_socket_path()));
  EXPECT_EQ(0u, owner_of(spool + "/queue"));
  EXPECT_EQ(0u, owner_of(spool + "/queue/message"));
  // The planted link gives nothing away.
  EXPECT_EQ(foreign_uid, owner_of(dir.file("passwd-like")));
  EXPECT_EQ(0u, owner_of(spool + "/planted"));
}

TEST(drop_privileges, same_user_stops_before_the_switch) {
  REQUIRE_ROOT();
  log_capture_t log;
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path());  // runs as root
  bind_socket(config.sorter_socket_path());
  mq::service::drop_privileges_t(&config).configure();
  struct stat st;
  EXPECT_EQ(0, ::stat(config.spool_dir().c_str(), &st));  // created, one level
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ("", log.all());  // no warning, no "Run as user"
}

TEST(drop_privileges, missing_socket_is_only_a_warning) {
  REQUIRE_ROOT();
  log_capture_t log;
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path());
  mq::service::drop_privileges_t(&config).configure();
  EXPECT_EQ("3 chown " + config.sorter_socket_path() + ": No such file or directory\n", log.all());
}

TEST(drop_privileges, unknown_user_fails_before_touching_anything) {
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path());
  config.mutable_run_as_user()->Clear();
  config.mutable_run_as_user()->set_name("mq-no-such-user");
  try {
    mq::service::drop_privileges_t(&config).configure();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("getpwnam(\"mq-no-such-user\"): No such user", e.what());
  }
  struct stat st;
  EXPECT_NE(0, ::stat(config.spool_dir().c_str(), &st));
}

TEST(drop_privileges, uid_without_entry_fails_at_the_first_change_of_owner) {
  std::uint32_t uid = 3999999;
  while (::getpwuid(uid)) --uid;
  const std::string text = "getpwuid(" + std::to_string(uid) + "): No user with such uid";
  mq::test::temp_dir_t dir;
  ov::MailQuarantineConfig config = mq::test::make_test_config(dir.path());
  config.mutable_run_as_user()->set_uid(uid);

  // With a log file: at the log file, before the spool directory is made.
  config.mutable_log()->set_type(ov::Log::FILE);
  config.mutable_log()->set_path(dir.file("log"));
  try {
    mq::service::drop_privileges_t(&config).configure();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(text, e.what());
  }
  struct stat st;
  EXPECT_NE(0, ::stat(config.spool_dir().c_str(), &st));

  // Without: at the socket, after the spool directory was made.
  config.clear_log();
  try {
    mq::service::drop_privileges_t(&config).configure();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(text, e.what());
  }
  EXPECT_EQ(0, ::stat(config.spool_dir().c_str(), &st));
}

}  // namespace
