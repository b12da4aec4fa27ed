#pragma once

// The far end of a socket pair whose near end is served by objects on an
// event loop in the same thread. Waiting for a frame runs the loop one
// handler at a time until the whole frame is readable, so a test never
// sleeps and never blocks on bytes the loop has not written yet.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <google/protobuf/message.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "util/unique_fd.h"

namespace mq::test {

constexpr int loop_timeout_ms = 60000;

// Runs `io` until `done()` holds; false when `timeout_ms` passed first.
bool run_until(boost::asio::io_context& io, const std::function<bool()>& done, int timeout_ms = loop_timeout_ms);

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
               int timeout_ms = loop_timeout_ms);
  // True when the near end closed with no frame pending before it.
  bool wait_closed(int timeout_ms = loop_timeout_ms);
  // Runs the loop until no handler is ready, then tells whether any byte
  // (or the end of the stream) is waiting.
  bool idle_and_silent();

  void close() { far_.reset(); }

 private:
  // Runs the loop until a whole frame or the end of the stream is readable.
  bool wait_readable_frame(int timeout_ms);

  boost::asio::io_context& io_;
  mq::util::unique_fd_t far_;
  socket_t near_;
};

// Collects the lines of the log facade at debug level while it lives.
class log_capture_t {
 public:
  log_capture_t();
  ~log_capture_t();
  log_capture_t(const log_capture_t&) = delete;
  log_capture_t& operator=(const log_capture_t&) = delete;

  // Lines logged at `level` exactly equal to `text`.
  std::size_t count(std::int32_t level, const std::string& text) const;
  // Every line as "<level> <text>", one per element.
  std::vector<std::string> lines() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::int32_t, std::string>> lines_;
  std::int32_t old_level_;
  std::function<void(std::int32_t, const std::string&)> old_function_;
};

}  // namespace mq::test
