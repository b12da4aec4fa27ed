#include "util/frame_io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include "util_test_support.h"

namespace mq::util {
namespace {

using test::pattern;
using test::pipe_t;
using test::send_length;
using test::send_raw;

class frame_io_test : public ::testing::Test {
 protected:
  int a() const { return pair.a.get(); }
  int b() const { return pair.b.get(); }

  test::socket_pair_t pair;
};

template <class F>
int errno_thrown(F&& f) {
  try {
    f();
  } catch (const std::system_error& e) {
    return e.code().value();
  }
  return 0;
}

TEST_F(frame_io_test, WritesLengthInHostOrderThenBody) {
  write_frame(a(), "hello");
  EXPECT_EQ(test::recv_exact(b(), 9), test::length_bytes(5) + "hello");
}

TEST_F(frame_io_test, RoundTripWithAndWithoutDescriptor) {
  pipe_t p;
  const std::string big = pattern(1 << 20, 1);
  std::thread writer([&] {
    write_frame(a(), "plain");
    write_frame(a(), big, p.write.get());
  });
  std::string body;
  unique_fd_t fd;
  ASSERT_TRUE(read_frame(b(), body, fd, 60000));
  EXPECT_EQ(body, "plain");
  EXPECT_FALSE(fd.present());
  ASSERT_TRUE(read_frame(b(), body, fd, 60000));
  writer.join();
  EXPECT_TRUE(body == big);
  ASSERT_TRUE(fd.present());
  EXPECT_TRUE(test::same_file(fd.get(), p.write.get()));
  EXPECT_TRUE(test::is_cloexec(fd.get()));
}

TEST_F(frame_io_test, CleanEndOfFileBeforeAFrameIsFalse) {
  write_frame(a(), "only");
  pair.a.reset();
  std::string body;
  unique_fd_t fd;
  ASSERT_TRUE(read_frame(b(), body, fd, 60000));
  EXPECT_EQ(body, "only");
  EXPECT_FALSE(read_frame(b(), body, fd, 60000));
}

TEST_F(frame_io_test, EndOfFileInsideAFrameThrows) {
  send_length(a(), 10);
  send_raw(a(), "abc", 3);
  pair.a.reset();
  std::string body;
  unique_fd_t fd;
  EXPECT_EQ(errno_thrown([&] { read_frame(b(), body, fd, 60000); }), ECONNRESET);
}

TEST_F(frame_io_test, EndOfFileInsideTheLengthThrows) {
  send_raw(a(), "ab", 2);
  pair.a.reset();
  std::string body;
  unique_fd_t fd;
  EXPECT_EQ(errno_thrown([&] { read_frame(b(), body, fd, 60000); }), ECONNRESET);
}

TEST_F(frame_io_test, InvalidLengthsAreRefused) {
  for (std::uint32_t length : {0u, 64u * 1024u * 1024u + 1u}) {
    test::socket_pair_t s;
    send_length(s.a.get(), length);
    std::string body;
    unique_fd_t fd;
    try {
      read_frame(s.b.get(), body, fd, 60000);
      ADD_FAILURE() << "length " << length << " accepted";
    } catch (const std::system_error&) {
      ADD_FAILURE() << "wrong exception type";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "invalid message size received");
    }
  }
}

TEST_F(frame_io_test, TimesOutWithoutData) {
  std::string body;
  unique_fd_t fd;
  EXPECT_THROW(read_frame(b(), body, fd, 1), std::runtime_error);
}

TEST_F(frame_io_test, DescriptorWithTheLengthIsRefusedAndClosed) {
  pipe_t p;
  send_length(a(), 1, {p.write.get()});
  send_raw(a(), "x", 1);
  std::string body;
  unique_fd_t fd;
  EXPECT_EQ(errno_thrown([&] { read_frame(b(), body, fd, 60000); }), EMSGSIZE);
  p.write.reset();
  EXPECT_TRUE(p.writers_gone());
}

TEST_F(frame_io_test, TwoDescriptorsWithTheBodyAreRefusedAndClosed) {
  pipe_t p1, p2;
  send_length(a(), 2);
  send_raw(a(), "x", 1, {p1.write.get()});
  send_raw(a(), "y", 1, {p2.write.get()});
  std::string body;
  unique_fd_t fd;
  EXPECT_EQ(errno_thrown([&] { read_frame(b(), body, fd, 60000); }), EMSGSIZE);
  EXPECT_FALSE(fd.present());
  p1.write.reset();
  p2.write.reset();
  EXPECT_TRUE(p1.writers_gone());
  EXPECT_TRUE(p2.writers_gone());
}

TEST_F(frame_io_test, WritesThroughANonBlockingSocket) {
  ASSERT_EQ(::fcntl(a(), F_SETFL, ::fcntl(a(), F_GETFL) | O_NONBLOCK), 0);
  const std::string big = pattern(4 << 20, 2);
  std::thread writer([&] { write_frame(a(), big); });
  std::string body;
  unique_fd_t fd;
  const bool got = read_frame(b(), body, fd, 60000);
  writer.join();
  ASSERT_TRUE(got);
  EXPECT_TRUE(body == big);
}

TEST_F(frame_io_test, WriteToAClosedPeerThrowsInsteadOfRaisingSigpipe) {
  pair.b.reset();
  EXPECT_EQ(errno_thrown([&] { write_frame(a(), "x"); }), EPIPE);
}

TEST(frame_io_connect, RefusesPathsTooLongForTheAddress) {
  EXPECT_EQ(errno_thrown([] { connect_local("/tmp/" + std::string(103, 'x')); }), ENAMETOOLONG);
  // 107 bytes still fit: the connect itself fails for lack of a socket.
  EXPECT_EQ(errno_thrown([] { connect_local("/tmp/" + std::string(102, 'x')); }), ENOENT);
}

TEST(frame_io_connect, MissingSocketFileIsAnError) {
  test::temp_dir_t dir;
  EXPECT_EQ(errno_thrown([&] { connect_local(dir.file("absent.sock")); }), ENOENT);
}

TEST(frame_io_connect, ConnectsToAListeningSocket) {
  test::temp_dir_t dir;
  const std::string path = dir.file("s.sock");
  unique_fd_t listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(::listen(listener.get(), 1), 0);
  unique_fd_t client = connect_local(path);
  EXPECT_TRUE(test::is_cloexec(client.get()));
  unique_fd_t server(::accept(listener.get(), nullptr, nullptr));
  ASSERT_TRUE(server.get() >= 0);
  write_frame(client.get(), "over a path");
  std::string body;
  unique_fd_t fd;
  ASSERT_TRUE(read_frame(server.get(), body, fd, 60000));
  EXPECT_EQ(body, "over a path");
}

}  // namespace
}  // namespace mq::util
