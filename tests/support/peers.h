#pragma once

// Peers on real sockets: raw writes with descriptors, the far end of a
// socket pair served on an event loop, and blocking peers of a running
// daemon's two sockets. Every wait has a limit (wait_limit()).

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <google/protobuf/message.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "common.h"
#include "mail_quarantine_client_ipc.pb.h"
#include "mail_quarantine_sorter_ipc.pb.h"
#include "util/unique_fd.h"

namespace mq::test {

struct socket_pair_t {
  socket_pair_t();
  mq::util::unique_fd_t a;
  mq::util::unique_fd_t b;
};

// Writes all `size` bytes; `fds` go with the first sendmsg.
void send_raw(int sock, const void* data, std::size_t size, std::vector<int> fds = {});
// Reads exactly `size` bytes (blocking); throws at end of stream.
std::string recv_exact(int sock, std::size_t size);
// An anonymous in-memory file holding `content` (a real descriptor to pass).
mq::util::unique_fd_t memory_file_fd(const std::string& content);

// The far end of a socket pair whose near end is served on `io` in this
// thread. Waiting for a frame runs the loop until the whole frame is
// readable, so a test never blocks on bytes the loop has not written yet.
class loop_peer_t {
 public:
  using socket_t = boost::asio::local::stream_protocol::socket;

  explicit loop_peer_t(boost::asio::io_context& io);
  loop_peer_t(const loop_peer_t&) = delete;
  loop_peer_t& operator=(const loop_peer_t&) = delete;

  // The near end, for the object under test (once).
  socket_t take_socket();
  int fd() const { return far_.get(); }

  void send(const google::protobuf::Message& message, int fd = -1);
  // One frame with `body` as it is.
  void send_body(const std::string& body, int fd = -1);

  // The next frame, parsed; false when the near end closed instead. Fails
  // the test (and returns false) on timeout or a frame that does not parse.
  bool receive(google::protobuf::Message& message, mq::util::unique_fd_t* fd = nullptr,
               std::chrono::milliseconds limit = wait_limit());
  // True when the near end closed with no frame pending before it.
  bool wait_closed(std::chrono::milliseconds limit = wait_limit());
  // Runs the loop until no handler is ready, then tells whether nothing
  // (no byte, no end of stream) waits to be read.
  bool idle_and_silent();

  void close() { far_.reset(); }

 private:
  bool wait_readable_frame(std::chrono::milliseconds limit);

  boost::asio::io_context& io_;
  mq::util::unique_fd_t far_;
  socket_t near_;
};

class sorter_peer_t {
 public:
  using request_t = mq::Sorter2MailQuarantineMessage;
  using response_t = mq::MailQuarantine2SorterMessage;

  // Connects; with `greeting`, reads the STORE_STATE_NOTIFICATION first
  // and fails the test unless that is what comes.
  explicit sorter_peer_t(const std::string& path, bool greeting = true);

  const std::string& store_path() const { return store_path_; }
  int fd() const { return socket_.get(); }

  void send(const request_t& request, int fd = -1);
  // The next frame; throws on timeout or end of stream.
  response_t read(mq::util::unique_fd_t* fd = nullptr, std::chrono::milliseconds limit = wait_limit());
  // True when the daemon closed the connection (no frame came first).
  bool wait_closed(std::chrono::milliseconds limit = wait_limit());
  void close() { socket_.reset(); }

  std::uint32_t next_serial() { return ++serial_; }

  // Request and response with a fresh serial; queue-change notifications
  // on the way are kept in `notifications`, not returned.
  response_t call(request_t request, int fd = -1, mq::util::unique_fd_t* out_fd = nullptr);
  // Stores `content` with the given envelope; returns the new id.
  std::uint64_t put(const std::string& content, mq::Status status, const mq::Entry& entry = mq::Entry());

  std::vector<response_t> notifications;

 private:
  mq::util::unique_fd_t socket_;
  std::string store_path_;
  std::uint32_t serial_ = 1000;
};

class client_peer_t {
 public:
  using request_t = mq::Client2MailQuarantineMessage;
  using response_t = mq::MailQuarantine2ClientMessage;

  explicit client_peer_t(const std::string& path);

  int fd() const { return socket_.get(); }
  void send(const request_t& request);
  response_t read(std::chrono::milliseconds limit = wait_limit());
  bool wait_closed(std::chrono::milliseconds limit = wait_limit());
  void close() { socket_.reset(); }

  // Request and response with a fresh serial.
  response_t call(request_t request);
  response_t stat();
  response_t flush(mq::Status status);
  response_t check(bool fix);
  response_t chunk(mq::Status status, std::uint64_t after_id, std::uint64_t after_ts, std::uint64_t limit);

 private:
  mq::util::unique_fd_t socket_;
  std::uint32_t serial_ = 2000;
};

}  // namespace mq::test
