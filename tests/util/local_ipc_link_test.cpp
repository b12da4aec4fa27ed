#include "util/local_ipc_link.h"

#include <sys/socket.h>

#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "util/frame_io.h"
#include "util_test_support.h"

namespace mq::util {
namespace {

using test::drain;
using test::pattern;
using test::pipe_t;
using test::send_length;
using test::send_raw;

constexpr std::uint32_t max_size = 64u * 1024u * 1024u;

struct received_t {
  std::string body;
  unique_fd_t fd;
  const std::uint8_t* data = nullptr;
};

class recorder_t final : public local_ipc_link_t::delegate_t {
 public:
  void on_written() override { ++written; }
  void on_message(const std::uint8_t* data, std::uint32_t size, unique_fd_t fd) override {
    frames.push_back(received_t{std::string(reinterpret_cast<const char*>(data), size), std::move(fd), data});
    if (after_message) after_message();
  }
  void on_error(std::exception_ptr error) override {
    errors.push_back(error);
    if (after_error) after_error();
  }

  std::vector<received_t> frames;
  std::vector<std::exception_ptr> errors;
  int written = 0;
  std::function<void()> after_message;
  std::function<void()> after_error;
};

std::unique_ptr<std::uint8_t[]> bytes_of(const std::string& s) {
  std::unique_ptr<std::uint8_t[]> p(new std::uint8_t[s.size() ? s.size() : 1]);
  std::memcpy(p.get(), s.data(), s.size());
  return p;
}

// What the link reported, as the owner would see it.
struct failure_t {
  bool system = false;
  boost::system::error_code code;
  std::string what;
};

failure_t failure_of(const std::exception_ptr& e) {
  failure_t f;
  try {
    std::rethrow_exception(e);
  } catch (const boost::system::system_error& se) {
    f.system = true;
    f.code = se.code();
    f.what = se.what();
  } catch (const std::exception& ex) {
    f.what = ex.what();
  }
  return f;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

class link_test : public ::testing::Test {
 protected:
  link_test() {
    link = std::make_unique<local_ipc_link_t>(
        local_ipc_link_t::socket_t(io, boost::asio::local::stream_protocol(), pair.a.release()), &rec);
  }

  bool run_until(const std::function<bool()>& done) { return test::run_until(io, done); }

  void send(const std::string& body, unique_fd_t fd = unique_fd_t()) {
    link->send(bytes_of(body), static_cast<std::uint32_t>(body.size()), std::move(fd));
  }

  int peer() const { return pair.b.get(); }

  boost::asio::io_context io;
  test::socket_pair_t pair;
  recorder_t rec;
  std::unique_ptr<local_ipc_link_t> link;
};

// ---- receiving -------------------------------------------------------------

// A peer that sent a frame and closed before the link exists: the owner
// must get the link back from the constructor before any delegate call.
TEST(link_construction, DelegateIsNotCalledFromTheConstructor) {
  boost::asio::io_context io;
  test::socket_pair_t pair;
  write_frame(pair.b.get(), "early");
  pair.b.reset();

  struct owner_t final : local_ipc_link_t::delegate_t {
    std::unique_ptr<local_ipc_link_t> link;
    int calls_without_link = 0;
    int messages = 0;
    int errors = 0;
    void on_written() override {}
    void on_message(const std::uint8_t*, std::uint32_t, unique_fd_t) override {
      if (!link) ++calls_without_link;
      ++messages;
    }
    void on_error(std::exception_ptr) override {
      if (!link) ++calls_without_link;
      ++errors;
      link.reset();
    }
  } owner;
  owner.link = std::make_unique<local_ipc_link_t>(
      local_ipc_link_t::socket_t(io, boost::asio::local::stream_protocol(), pair.a.release()), &owner);
  EXPECT_EQ(owner.messages + owner.errors, 0) << "nothing may be delivered before the constructor returns";
  ASSERT_TRUE(test::run_until(io, [&] { return owner.errors == 1; }));
  EXPECT_EQ(owner.messages, 1);
  EXPECT_EQ(owner.calls_without_link, 0);
}


TEST_F(link_test, DeliversFramesWrittenByFrameIoByteForByte) {
  const std::string binary("\0\x01\xff\x7f\x80", 5);
  write_frame(peer(), "hello");
  write_frame(peer(), binary);
  write_frame(peer(), "x");
  ASSERT_TRUE(run_until([&] { return rec.frames.size() == 3; }));
  EXPECT_EQ(rec.frames[0].body, "hello");
  EXPECT_EQ(rec.frames[1].body, binary);
  EXPECT_EQ(rec.frames[2].body, "x");
  for (const auto& f : rec.frames) EXPECT_FALSE(f.fd.present());
  EXPECT_TRUE(rec.errors.empty());
}

TEST_F(link_test, LengthZeroFailsOnceWithInvalidSize) {
  send_length(peer(), 0);
  send_raw(peer(), "abcd", 4);
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  drain(io);
  ASSERT_EQ(rec.errors.size(), 1u);
  const failure_t f = failure_of(rec.errors[0]);
  EXPECT_FALSE(f.system);
  EXPECT_EQ(f.what, "invalid message size received");
  EXPECT_TRUE(rec.frames.empty());
  EXPECT_TRUE(test::other_end_closed(peer())) << "the failed link must have closed its socket";
}

TEST_F(link_test, LengthOneOverTheLimitFails) {
  send_length(peer(), max_size + 1);
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  drain(io);
  ASSERT_EQ(rec.errors.size(), 1u);
  EXPECT_EQ(failure_of(rec.errors[0]).what, "invalid message size received");
  EXPECT_TRUE(rec.frames.empty());
}

TEST_F(link_test, LengthFarOverTheLimitFails) {
  send_length(peer(), 0xffffffffu);
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  EXPECT_EQ(failure_of(rec.errors[0]).what, "invalid message size received");
}

TEST_F(link_test, AcceptsTheLargestFrame) {
  const std::string body = pattern(max_size, 1);
  std::thread writer([&] { write_frame(peer(), body); });
  const bool got = run_until([&] { return !rec.frames.empty() || !rec.errors.empty(); });
  writer.join();
  ASSERT_TRUE(got);
  ASSERT_TRUE(rec.errors.empty());
  ASSERT_EQ(rec.frames.size(), 1u);
  EXPECT_EQ(rec.frames[0].body.size(), max_size);
  EXPECT_TRUE(rec.frames[0].body == body);
  EXPECT_EQ(link->read_capacity(), 4096u);
}

TEST_F(link_test, DeliversDescriptorSentWithBody) {
  pipe_t p;
  write_frame(peer(), "with fd", p.write.get());
  write_frame(peer(), "without fd");
  ASSERT_TRUE(run_until([&] { return rec.frames.size() == 2; }));
  ASSERT_TRUE(rec.frames[0].fd.present());
  EXPECT_TRUE(test::same_file(rec.frames[0].fd.get(), p.write.get()));
  EXPECT_TRUE(test::is_cloexec(rec.frames[0].fd.get()));
  EXPECT_FALSE(rec.frames[1].fd.present());
  // The link keeps no copy of its own.
  p.write.reset();
  rec.frames[0].fd.reset();
  EXPECT_TRUE(p.writers_gone());
}

TEST_F(link_test, ReassemblesBodyFromSegmentsWithDescriptorOnALaterOne) {
  pipe_t p;
  const std::string body = pattern(5000, 2);
  send_length(peer(), static_cast<std::uint32_t>(body.size()));
  drain(io);
  // Each segment reaches the link on its own; the loop runs in between so
  // that the link sees every partial state.
  const std::size_t cuts[] = {0, 1, 700, 2100, 2101, 4000, 5000};
  for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
    std::vector<int> fds;
    if (i == 3) fds.push_back(p.write.get());
    send_raw(peer(), body.data() + cuts[i], cuts[i + 1] - cuts[i], fds);
    if (i + 2 < std::size(cuts)) {
      drain(io);
      EXPECT_TRUE(rec.frames.empty()) << "delivered before the body was complete, segment " << i;
    }
  }
  ASSERT_TRUE(run_until([&] { return !rec.frames.empty() || !rec.errors.empty(); }));
  ASSERT_TRUE(rec.errors.empty());
  ASSERT_EQ(rec.frames.size(), 1u);
  EXPECT_EQ(rec.frames[0].body, body);
  ASSERT_TRUE(rec.frames[0].fd.present());
  EXPECT_TRUE(test::same_file(rec.frames[0].fd.get(), p.write.get()));
}

TEST_F(link_test, DescriptorWithTheLengthBytesFailsWithEmsgsize) {
  pipe_t p;
  send_length(peer(), 3, {p.write.get()});
  send_raw(peer(), "abc", 3);
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  drain(io);
  ASSERT_EQ(rec.errors.size(), 1u);
  const failure_t f = failure_of(rec.errors[0]);
  EXPECT_TRUE(f.system);
  EXPECT_EQ(f.code, boost::system::error_code(EMSGSIZE, boost::system::system_category()));
  EXPECT_TRUE(starts_with(f.what, "read failed: ")) << f.what;
  EXPECT_TRUE(rec.frames.empty());
  // The refused descriptor is not kept anywhere.
  p.write.reset();
  EXPECT_TRUE(p.writers_gone());
}

TEST_F(link_test, TwoDescriptorsOnSeparateSegmentsFailAndAreClosed) {
  pipe_t p1, p2;
  send_length(peer(), 20);
  send_raw(peer(), "0123456789", 10, {p1.write.get()});
  send_raw(peer(), "abcdefghij", 10, {p2.write.get()});
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  drain(io);
  ASSERT_EQ(rec.errors.size(), 1u);
  EXPECT_EQ(failure_of(rec.errors[0]).code, boost::system::error_code(EMSGSIZE, boost::system::system_category()));
  EXPECT_TRUE(rec.frames.empty());
  p1.write.reset();
  p2.write.reset();
  EXPECT_TRUE(p1.writers_gone());
  EXPECT_TRUE(p2.writers_gone());
}

TEST_F(link_test, TwoDescriptorsInOneMessageFailAndAreClosed) {
  pipe_t p1, p2;
  send_length(peer(), 4);
  send_raw(peer(), "abcd", 4, {p1.write.get(), p2.write.get()});
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  EXPECT_EQ(failure_of(rec.errors[0]).code, boost::system::error_code(EMSGSIZE, boost::system::system_category()));
  EXPECT_TRUE(rec.frames.empty());
  p1.write.reset();
  p2.write.reset();
  EXPECT_TRUE(p1.writers_gone());
  EXPECT_TRUE(p2.writers_gone());
}

TEST_F(link_test, PeerClosingBetweenFramesGivesOneEndOfFile) {
  write_frame(peer(), "last");
  pair.b.reset();
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  drain(io);
  ASSERT_EQ(rec.frames.size(), 1u);
  EXPECT_EQ(rec.frames[0].body, "last");
  ASSERT_EQ(rec.errors.size(), 1u);
  const failure_t f = failure_of(rec.errors[0]);
  EXPECT_TRUE(f.system);
  EXPECT_EQ(f.code, boost::asio::error::eof);
  EXPECT_TRUE(starts_with(f.what, "read failed: End of file")) << f.what;
  // Nothing more reaches the delegate, not even a later send.
  send("ignored");
  drain(io);
  EXPECT_EQ(rec.errors.size(), 1u);
  EXPECT_EQ(rec.written, 0);
}

TEST_F(link_test, PeerClosingInsideABodyGivesEndOfFile) {
  send_length(peer(), 100);
  send_raw(peer(), "0123456789", 10);
  pair.b.reset();
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  drain(io);
  ASSERT_EQ(rec.errors.size(), 1u);
  EXPECT_EQ(failure_of(rec.errors[0]).code, boost::asio::error::eof);
  EXPECT_TRUE(rec.frames.empty());
}

TEST_F(link_test, DelegateDestroyingTheLinkInOnMessageStopsEverything) {
  write_frame(peer(), "one");
  write_frame(peer(), "two");
  write_frame(peer(), "three");
  rec.after_message = [&] { link.reset(); };
  ASSERT_TRUE(run_until([&] { return !rec.frames.empty(); }));
  drain(io);
  EXPECT_EQ(rec.frames.size(), 1u);
  EXPECT_TRUE(rec.errors.empty());
  EXPECT_TRUE(test::other_end_closed(peer())) << "the destroyed link must have closed its socket";
}

TEST_F(link_test, DelegateDestroyingTheLinkInOnErrorIsSafe) {
  pipe_t p;
  send("queued", unique_fd_t(::dup(p.write.get())));
  rec.after_error = [&] { link.reset(); };
  pair.b.reset();
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  drain(io);
  EXPECT_EQ(rec.errors.size(), 1u);
  EXPECT_EQ(link, nullptr);
  p.write.reset();
  EXPECT_TRUE(p.writers_gone());
}

TEST_F(link_test, GivesAnOutsizeBufferBackAndKeepsAModestOne) {
  const std::uint32_t big = 10u * 1024u * 1024u;
  const std::string large = pattern(big, 3);
  std::thread writer([&] {
    write_frame(peer(), large);
    write_frame(peer(), "small 1");
    write_frame(peer(), pattern(5000, 4));
    write_frame(peer(), "small 3");
  });
  const bool got = run_until([&] { return rec.frames.size() == 4 || !rec.errors.empty(); });
  writer.join();
  ASSERT_TRUE(got);
  ASSERT_TRUE(rec.errors.empty());
  EXPECT_TRUE(rec.frames[0].body == large);
  EXPECT_EQ(rec.frames[1].body, "small 1");
  EXPECT_EQ(rec.frames[2].body, pattern(5000, 4));
  EXPECT_EQ(rec.frames[3].body, "small 3");
  EXPECT_EQ(link->read_capacity(), 5000u);
  EXPECT_EQ(rec.frames[3].data, rec.frames[2].data);
}

TEST_F(link_test, SmallFramesKeepTheInitialBuffer) {
  write_frame(peer(), pattern(4096, 5));
  write_frame(peer(), "a");
  ASSERT_TRUE(run_until([&] { return rec.frames.size() == 2; }));
  EXPECT_EQ(link->read_capacity(), 4096u);
  EXPECT_EQ(rec.frames[0].data, rec.frames[1].data);
}

TEST_F(link_test, ManyFramesInOneBurstAllArriveInOrder) {
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) write_frame(peer(), "frame " + std::to_string(i));
  });
  const bool got = run_until([&] { return rec.frames.size() == 200 || !rec.errors.empty(); });
  writer.join();
  ASSERT_TRUE(got);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(rec.frames[i].body, "frame " + std::to_string(i));
}

// ---- sending ---------------------------------------------------------------

TEST_F(link_test, WritesHostOrderLengthThenBody) {
  send("abc");
  send(std::string("\0\xfe", 2));
  ASSERT_TRUE(run_until([&] { return rec.written > 0; }));
  const std::string expected = test::length_bytes(3) + "abc" + test::length_bytes(2) + std::string("\0\xfe", 2);
  EXPECT_EQ(test::recv_exact(peer(), expected.size()), expected);
  const std::string raw = test::length_bytes(3);
  std::uint32_t host = 0;
  std::memcpy(&host, raw.data(), 4);
  EXPECT_EQ(host, 3u);
}

TEST_F(link_test, QueuedSendsGoOutInOrderAndOnWrittenOnce) {
  pipe_t p;
  send("first");
  send("second");
  send("third", unique_fd_t(::dup(p.write.get())));
  send(pattern(3000, 6));
  send("fifth");
  ASSERT_TRUE(run_until([&] { return rec.written > 0; }));
  drain(io);
  EXPECT_EQ(rec.written, 1);
  std::vector<std::string> bodies;
  std::vector<bool> with_fd;
  for (int i = 0; i < 5; ++i) {
    std::string body;
    unique_fd_t fd;
    ASSERT_TRUE(read_frame(peer(), body, fd, 60000));
    bodies.push_back(body);
    with_fd.push_back(fd.present());
    if (fd) {
      EXPECT_TRUE(test::same_file(fd.get(), p.write.get()));
    }
  }
  EXPECT_EQ(bodies, (std::vector<std::string>{"first", "second", "third", pattern(3000, 6), "fifth"}));
  EXPECT_EQ(with_fd, (std::vector<bool>{false, false, true, false, false}));
  // The link closed its copy once written.
  p.write.reset();
  EXPECT_TRUE(p.writers_gone());
  // A new send after the queue drained reports again, once.
  send("sixth");
  ASSERT_TRUE(run_until([&] { return rec.written == 2; }));
  drain(io);
  EXPECT_EQ(rec.written, 2);
}

TEST_F(link_test, SendsQueuedBehindAPendingLargeWriteKeepTheirOrder) {
  pipe_t p;
  const std::string large = pattern(10u * 1024u * 1024u, 7);
  send(large, unique_fd_t(::dup(p.write.get())));
  drain(io);  // fills the socket buffer; the rest of the write waits
  EXPECT_EQ(rec.written, 0);
  send("after 1");
  send("after 2");
  send("after 3");

  std::vector<std::string> bodies;
  bool large_fd_ok = false;
  std::string reader_error;
  std::thread reader([&] {
    try {
      for (int i = 0; i < 4; ++i) {
        std::string body;
        unique_fd_t fd;
        if (!read_frame(peer(), body, fd, 120000)) throw std::runtime_error("end of file");
        if (i == 0) large_fd_ok = fd && test::same_file(fd.get(), p.write.get());
        bodies.push_back(std::move(body));
      }
    } catch (const std::exception& e) {
      reader_error = e.what();
    }
  });
  const bool done = run_until([&] { return rec.written > 0 || !rec.errors.empty(); });
  reader.join();
  ASSERT_TRUE(done);
  drain(io);
  ASSERT_EQ(reader_error, "");
  EXPECT_EQ(rec.written, 1);
  ASSERT_EQ(bodies.size(), 4u);
  EXPECT_TRUE(bodies[0] == large);
  EXPECT_TRUE(large_fd_ok);
  EXPECT_EQ(bodies[1], "after 1");
  EXPECT_EQ(bodies[2], "after 2");
  EXPECT_EQ(bodies[3], "after 3");
}

TEST_F(link_test, SendFromInsideOnMessageIsWritten) {
  rec.after_message = [&] { send("echo " + rec.frames.back().body); };
  write_frame(peer(), "ping");
  ASSERT_TRUE(run_until([&] { return rec.written > 0; }));
  std::string body;
  unique_fd_t fd;
  ASSERT_TRUE(read_frame(peer(), body, fd, 60000));
  EXPECT_EQ(body, "echo ping");
}

TEST_F(link_test, WriteToAPeerThatStoppedReadingFailsWithEpipe) {
  ASSERT_EQ(::shutdown(peer(), SHUT_RD), 0);
  send("nobody reads this");
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  drain(io);
  ASSERT_EQ(rec.errors.size(), 1u);
  const failure_t f = failure_of(rec.errors[0]);
  EXPECT_TRUE(f.system);
  EXPECT_EQ(f.code, boost::system::error_code(EPIPE, boost::system::system_category()));
  EXPECT_TRUE(starts_with(f.what, "write failed: Broken pipe")) << f.what;
  EXPECT_EQ(rec.written, 0);
}

TEST_F(link_test, DestructionClosesQueuedDescriptors) {
  pipe_t p;
  send("one", unique_fd_t(::dup(p.write.get())));
  send("two", unique_fd_t(::dup(p.write.get())));
  link.reset();
  drain(io);
  p.write.reset();
  EXPECT_TRUE(p.writers_gone());
  EXPECT_EQ(rec.written, 0);
  EXPECT_TRUE(rec.errors.empty());
}

TEST_F(link_test, SendAfterFailureDropsTheFrameAndItsDescriptor) {
  pair.b.reset();
  ASSERT_TRUE(run_until([&] { return !rec.errors.empty(); }));
  pipe_t p;
  send("late", unique_fd_t(::dup(p.write.get())));
  drain(io);
  p.write.reset();
  EXPECT_TRUE(p.writers_gone());
  EXPECT_EQ(rec.errors.size(), 1u);
  EXPECT_EQ(rec.written, 0);
}

TEST_F(link_test, TwoLinksTalkToEachOther) {
  // Both ends are links: what one sends the other receives unchanged.
  test::socket_pair_t second;
  recorder_t left_rec, right_rec;
  local_ipc_link_t left(local_ipc_link_t::socket_t(io, boost::asio::local::stream_protocol(), second.a.release()),
                        &left_rec);
  local_ipc_link_t right(local_ipc_link_t::socket_t(io, boost::asio::local::stream_protocol(), second.b.release()),
                         &right_rec);
  pipe_t p;
  const std::string big = pattern(300000, 8);
  left.send(bytes_of(big), static_cast<std::uint32_t>(big.size()), unique_fd_t(::dup(p.write.get())));
  left.send(bytes_of("tail"), 4);
  right.send(bytes_of("back"), 4);
  ASSERT_TRUE(run_until([&] { return right_rec.frames.size() == 2 && left_rec.frames.size() == 1; }));
  EXPECT_TRUE(right_rec.frames[0].body == big);
  ASSERT_TRUE(right_rec.frames[0].fd.present());
  EXPECT_TRUE(test::same_file(right_rec.frames[0].fd.get(), p.write.get()));
  EXPECT_EQ(right_rec.frames[1].body, "tail");
  EXPECT_EQ(left_rec.frames[0].body, "back");
  EXPECT_TRUE(left_rec.errors.empty());
  EXPECT_TRUE(right_rec.errors.empty());
}

}  // namespace
}  // namespace mq::util
