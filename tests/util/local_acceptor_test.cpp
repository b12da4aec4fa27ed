#include "util/local_acceptor.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "ov/logger.h"
#include "util/frame_io.h"
#include "util_test_support.h"

namespace mq::util {
namespace {

using protocol_t = local_acceptor_t::protocol_t;

class recorder_t final : public local_acceptor_t::delegate_t {
 public:
  void on_client_accepted(protocol_t::socket socket) override {
    accepted.push_back(std::move(socket));
    if (after_accept) after_accept();
  }
  void on_accept_error(std::exception_ptr error) override { errors.push_back(error); }

  std::vector<protocol_t::socket> accepted;
  std::vector<std::exception_ptr> errors;
  std::function<void()> after_accept;
};

std::string what_of(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  }
  return "";
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// errno of a connect to `path`, 0 on success.
int connect_errno(const std::string& path) {
  try {
    connect_local(path);
  } catch (const std::system_error& e) {
    return e.code().value();
  }
  return 0;
}

// The listening socket bound to `path` in this process, -1 if none.
// The one listening local socket of this process (bound under another
// name than its path: the file is moved into place after bind).
int listening_fd() {
  int found = -1;
  DIR* d = ::opendir("/proc/self/fd");
  if (!d) return -1;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    sockaddr_un addr{};
    socklen_t len = sizeof(addr);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sun_family != AF_UNIX) continue;
    int listening = 0;
    socklen_t optlen = sizeof(listening);
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optlen) != 0 || !listening) continue;
    found = fd;
  }
  ::closedir(d);
  return found;
}

class acceptor_test : public ::testing::Test {
 protected:
  acceptor_test() : acceptor(std::make_unique<local_acceptor_t>(io, &rec)) {}

  bool run_until(const std::function<bool()>& done) { return test::run_until(io, done); }

  // Writes on the client and reads it back on the accepted socket.
  static bool connected(int client, protocol_t::socket& accepted) {
    write_frame(client, "probe");
    std::string body;
    unique_fd_t fd;
    return read_frame(accepted.native_handle(), body, fd, 60000) && body == "probe";
  }

  boost::asio::io_context io;
  test::temp_dir_t dir;
  recorder_t rec;
  std::unique_ptr<local_acceptor_t> acceptor;
};

TEST_F(acceptor_test, AcceptsConnectionsAndHandsThemOver) {
  const std::string path = dir.file("a.sock");
  acceptor->listen(make_local_endpoint(path));
  EXPECT_TRUE(acceptor->is_open());
  unique_fd_t c1 = connect_local(path);
  unique_fd_t c2 = connect_local(path);
  ASSERT_TRUE(run_until([&] { return rec.accepted.size() == 2; }));
  EXPECT_TRUE(rec.errors.empty());
  EXPECT_TRUE(connected(c1.get(), rec.accepted[0]));
  EXPECT_TRUE(connected(c2.get(), rec.accepted[1]));
}

TEST_F(acceptor_test, ListeningAndAcceptedSocketsAreCloseOnExec) {
  const std::string path = dir.file("cloexec.sock");
  acceptor->listen(make_local_endpoint(path));
  const int listener = listening_fd();
  ASSERT_GE(listener, 0);
  EXPECT_TRUE(test::is_cloexec(listener));
  unique_fd_t c = connect_local(path);
  ASSERT_TRUE(run_until([&] { return !rec.accepted.empty(); }));
  EXPECT_TRUE(test::is_cloexec(rec.accepted[0].native_handle()));
}

TEST_F(acceptor_test, SocketFileIsMode0666WhateverTheUmask) {
  const std::string path = dir.file("mode.sock");
  const mode_t old = ::umask(077);
  try {
    acceptor->listen(make_local_endpoint(path));
  } catch (...) {
    ::umask(old);
    throw;
  }
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST_F(acceptor_test, SamePathTwiceChangesNothing) {
  const std::string path = dir.file("same.sock");
  acceptor->listen(make_local_endpoint(path));
  const int listener = listening_fd();
  struct stat before;
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  unique_fd_t c1 = connect_local(path);
  ASSERT_TRUE(run_until([&] { return rec.accepted.size() == 1; }));

  // The accept pending now must survive the second call.
  acceptor->listen(make_local_endpoint(path));
  EXPECT_TRUE(acceptor->is_open());
  EXPECT_EQ(listening_fd(), listener);
  struct stat after;
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);

  unique_fd_t c2 = connect_local(path);
  ASSERT_TRUE(run_until([&] { return rec.accepted.size() == 2; }));
  test::drain(io);
  EXPECT_EQ(rec.accepted.size(), 2u);
  EXPECT_TRUE(connected(c2.get(), rec.accepted[1]));
  EXPECT_TRUE(rec.errors.empty());
}

TEST_F(acceptor_test, RepointingKeepsOpenConnectionsAndTheOldFile) {
  const std::string first = dir.file("first.sock");
  const std::string second = dir.file("second.sock");
  acceptor->listen(make_local_endpoint(first));
  unique_fd_t c1 = connect_local(first);
  ASSERT_TRUE(run_until([&] { return rec.accepted.size() == 1; }));

  acceptor->listen(make_local_endpoint(second));
  EXPECT_TRUE(acceptor->is_open());
  EXPECT_TRUE(boost::filesystem::exists(first)) << "the old socket file stays";
  EXPECT_EQ(connect_errno(first), ECONNREFUSED);

  unique_fd_t c2 = connect_local(second);
  ASSERT_TRUE(run_until([&] { return rec.accepted.size() == 2; }));
  EXPECT_TRUE(connected(c1.get(), rec.accepted[0])) << "existing connections are unaffected";
  EXPECT_TRUE(connected(c2.get(), rec.accepted[1]));
  EXPECT_TRUE(rec.errors.empty());
}

TEST_F(acceptor_test, BindOnAnExistingFileFailsWithThePath) {
  const std::string path = dir.file("taken");
  std::ofstream(path) << "not a socket";
  try {
    acceptor->listen(make_local_endpoint(path));
    FAIL() << "bound over an existing file";
  } catch (const boost::system::system_error& e) {
    EXPECT_TRUE(starts_with(e.what(), "Cannot bind to " + path + ": ")) << e.what();
    EXPECT_EQ(e.code(), boost::system::error_code(EADDRINUSE, boost::system::system_category()));
  }
  EXPECT_FALSE(acceptor->is_open());
  // The file is left alone.
  std::ifstream in(path);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "not a socket");
}

TEST_F(acceptor_test, BindOnAStaleSocketFileFails) {
  const std::string path = dir.file("stale.sock");
  {
    local_acceptor_t earlier(io, &rec);
    earlier.listen(make_local_endpoint(path));
  }
  ASSERT_TRUE(boost::filesystem::exists(path));
  try {
    acceptor->listen(make_local_endpoint(path));
    FAIL() << "bound over a stale socket file";
  } catch (const boost::system::system_error& e) {
    EXPECT_TRUE(starts_with(e.what(), "Cannot bind to " + path)) << e.what();
  }
  // A usable path still works afterwards.
  const std::string fresh = dir.file("fresh.sock");
  acceptor->listen(make_local_endpoint(fresh));
  unique_fd_t c = connect_local(fresh);
  ASSERT_TRUE(run_until([&] { return rec.accepted.size() == 1; }));
}

TEST_F(acceptor_test, FailedRepointLeavesTheAcceptorClosed) {
  const std::string first = dir.file("first.sock");
  const std::string taken = dir.file("taken");
  std::ofstream(taken) << "x";
  acceptor->listen(make_local_endpoint(first));
  EXPECT_THROW(acceptor->listen(make_local_endpoint(taken)), boost::system::system_error);
  EXPECT_FALSE(acceptor->is_open());
  EXPECT_EQ(connect_errno(first), ECONNREFUSED);
  test::drain(io);
  EXPECT_TRUE(rec.accepted.empty());
  EXPECT_TRUE(rec.errors.empty());
}

TEST_F(acceptor_test, MissingDirectoryFailsToBind) {
  const std::string path = dir.file("no/such/dir.sock");
  try {
    acceptor->listen(make_local_endpoint(path));
    FAIL() << "bound in a missing directory";
  } catch (const boost::system::system_error& e) {
    EXPECT_TRUE(starts_with(e.what(), "Cannot bind to " + path + ": ")) << e.what();
    EXPECT_EQ(e.code(), boost::system::error_code(ENOENT, boost::system::system_category()));
  }
}

TEST_F(acceptor_test, DestructionWithAPendingAcceptCallsNothing) {
  const std::string path = dir.file("closing.sock");
  acceptor->listen(make_local_endpoint(path));
  test::drain(io);
  // One connection waits in the backlog, not yet taken.
  unique_fd_t c = connect_local(path);
  acceptor.reset();
  test::drain(io);
  EXPECT_TRUE(rec.accepted.empty());
  EXPECT_TRUE(rec.errors.empty());
  EXPECT_TRUE(boost::filesystem::exists(path)) << "the socket file stays on disk";
  EXPECT_EQ(connect_errno(path), ECONNREFUSED);
  EXPECT_TRUE(test::other_end_closed(c.get()));
}

TEST_F(acceptor_test, DelegateDestroyingTheAcceptorInsideTheCallback) {
  const std::string path = dir.file("destroy.sock");
  acceptor->listen(make_local_endpoint(path));
  unique_fd_t c1 = connect_local(path);
  unique_fd_t c2 = connect_local(path);
  rec.after_accept = [&] { acceptor.reset(); };
  ASSERT_TRUE(run_until([&] { return !rec.accepted.empty(); }));
  test::drain(io);
  EXPECT_EQ(rec.accepted.size(), 1u);
  EXPECT_TRUE(rec.errors.empty());
}

TEST_F(acceptor_test, DelegateRepointingInsideTheCallbackKeepsOneAcceptPending) {
  const std::string first = dir.file("first.sock");
  const std::string second = dir.file("second.sock");
  acceptor->listen(make_local_endpoint(first));
  rec.after_accept = [&] {
    rec.after_accept = nullptr;
    acceptor->listen(make_local_endpoint(second));
  };
  unique_fd_t c1 = connect_local(first);
  ASSERT_TRUE(run_until([&] { return rec.accepted.size() == 1; }));
  unique_fd_t c2 = connect_local(second);
  unique_fd_t c3 = connect_local(second);
  ASSERT_TRUE(run_until([&] { return rec.accepted.size() == 3; }));
  test::drain(io);
  EXPECT_EQ(rec.accepted.size(), 3u);
  EXPECT_TRUE(connected(c2.get(), rec.accepted[1]));
  EXPECT_TRUE(connected(c3.get(), rec.accepted[2]));
}

TEST_F(acceptor_test, OtherAcceptErrorsGoToTheDelegateAndEndAccepting) {
  const std::string path = dir.file("broken.sock");
  acceptor->listen(make_local_endpoint(path));
  test::drain(io);
  const int listener = listening_fd();
  ASSERT_GE(listener, 0);
  // Swap a datagram socket in under the acceptor's descriptor while the
  // old listening socket stays alive (and registered with the loop): the
  // next connection wakes the acceptor, and its accept fails (EOPNOTSUPP).
  unique_fd_t keep(::dup(listener));
  unique_fd_t dgram(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_GE(dgram.get(), 0);
  ASSERT_EQ(::dup2(dgram.get(), listener), listener);
  unique_fd_t c = connect_local(path);
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  test::drain(io);
  ASSERT_EQ(rec.errors.size(), 1u);
  EXPECT_TRUE(starts_with(what_of(rec.errors[0]), "accept: ")) << what_of(rec.errors[0]);
  try {
    std::rethrow_exception(rec.errors[0]);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::system::error_code(EOPNOTSUPP, boost::system::system_category()));
  }
  EXPECT_TRUE(rec.accepted.empty());
  EXPECT_FALSE(acceptor->is_open());
}

// Runs out of descriptors while a connection waits: the acceptor logs the
// failure, pauses, and takes the connection once descriptors are free again.
TEST_F(acceptor_test, RunningOutOfDescriptorsPausesInsteadOfFailing) {
  std::vector<std::string> lines;
  struct capture_t {
    explicit capture_t(std::vector<std::string>* lines)
        : previous(ov::util::logger::set_log_function([lines](std::int32_t level, const std::string& text) {
            lines->push_back(std::to_string(level) + " " + text);
          })),
          previous_level(ov::util::logger::set_log_level(ov::util::logger::debug)) {}
    ~capture_t() {
      ov::util::logger::set_log_function(previous);
      ov::util::logger::set_log_level(previous_level);
    }
    ov::util::logger::log_function_t previous;
    std::int32_t previous_level;
  } capture(&lines);

  const std::string path = dir.file("busy.sock");
  acceptor->listen(make_local_endpoint(path));
  test::drain(io);
  unique_fd_t client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_GE(client.get(), 0);

  // While descriptors are exhausted nothing may need a new one, not even
  // the undefined-behaviour checker, which opens a pipe the first time it
  // checks a dynamic type: take the code paths used below once beforehand.
  {
    const std::string warm = boost::system::error_code(EMFILE, boost::system::system_category()).message();
    boost::asio::steady_timer timer(io);
    bool fired = false;
    timer.expires_after(std::chrono::milliseconds(1));
    timer.async_wait([&](const boost::system::error_code&) { fired = true; });
    ASSERT_TRUE(test::run_until(io, [&] { return fired && !warm.empty(); }));
    OV_LOG(debug, "warm up " << path << ": " << warm << "; " << std::chrono::milliseconds(100).count() << " ms");
    lines.clear();
  }

  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int highest = 0;
  {
    DIR* d = ::opendir("/proc/self/fd");
    ASSERT_NE(d, nullptr);
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] != '.') highest = std::max(highest, std::atoi(e->d_name));
    }
    ::closedir(d);
  }
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(highest) + 8;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<unique_fd_t> fillers;
  for (;;) {
    int fd = ::dup(client.get());
    if (fd < 0) break;
    fillers.emplace_back(fd);
  }
  const int exhausted_errno = errno;

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  const int connect_rc = ::connect(client.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  // Two failures in a row: the acceptor tried again after its pause.
  const bool logged = test::run_until(io, [&] {
    int failures = 0;
    for (const auto& l : lines) failures += l.find("Too many open files") != std::string::npos;
    return failures >= 2;
  });
  const std::size_t accepted_while_exhausted = rec.accepted.size();
  const std::size_t errors_while_exhausted = rec.errors.size();

  fillers.clear();
  ::setrlimit(RLIMIT_NOFILE, &saved);

  ASSERT_EQ(exhausted_errno, EMFILE);
  ASSERT_EQ(connect_rc, 0);
  ASSERT_TRUE(logged);
  EXPECT_EQ(accepted_while_exhausted, 0u);
  EXPECT_EQ(errors_while_exhausted, 0u);
  const std::string expected = std::to_string(ov::util::logger::error) + " Cannot accept a connection on " + path +
                               ": Too many open files; accepting again in 100 ms";
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], expected);
  // A second later, with the failures in between counted.
  EXPECT_EQ(lines[1].rfind(expected + "; ", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find(" more failures since the last report"), std::string::npos) << lines[1];

  ASSERT_TRUE(run_until([&] { return !rec.accepted.empty(); }));
  EXPECT_TRUE(rec.errors.empty());
  EXPECT_TRUE(connected(client.get(), rec.accepted[0]));
  // Accepting goes on normally afterwards.
  unique_fd_t again = connect_local(path);
  ASSERT_TRUE(run_until([&] { return rec.accepted.size() == 2; }));
}

TEST(local_endpoint, PathsUpTo107BytesFit) {
  const std::string longest = "/tmp/" + std::string(102, 'p');
  ASSERT_EQ(longest.size(), 107u);
  EXPECT_EQ(make_local_endpoint(longest).path(), longest);
  EXPECT_EQ(make_local_endpoint(longest).size(), longest.size() + 2);
  try {
    make_local_endpoint(longest + "x");
    FAIL() << "108 bytes accepted";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::system::error_code(ENAMETOOLONG, boost::system::system_category()));
  }
}

}  // namespace
}  // namespace mq::util
