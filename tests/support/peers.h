#pragma once

#include <stdexcept>

#include <google/protobuf/message.h>
#include <boost/asio/local/stream_protocol.hpp>

#include "api/channel.h"
#include "api/sorter_session.h"
#include "common.h"
#include "mail_quarantine_client_ipc.pb.h"
#include "mail_quarantine_sorter_ipc.pb.h"
#include "net/frame_io.h"
#include "util/unique_fd.h"

namespace mq::test {

struct socket_pair_t {
  socket_pair_t();
  mq::util::unique_fd_t a;
  mq::util::unique_fd_t b;
};

// Writes all `size` bytes; `fds` go with the first sendmsg.
void send_raw(int sock, const void* data, std::size_t size, std::vector<int> fds = {});
std::string recv_exact(int sock, std::size_t size);
// A TCP connection to 127.0.0.1:`port`.
mq::util::unique_fd_t connect_loopback(std::uint16_t port);
// All that comes on `sock` until the far end closes; throws when it does
// not close within the wait limit.
std::string read_until_closed(int sock);
// `request` on a new connection to 127.0.0.1:`port`: all that comes back
// until the far end closes.
std::string exchange(std::uint16_t port, const std::string& request);
mq::util::unique_fd_t memory_file_fd(const std::string& content);

// The far end of a socket pair whose near end is served on `io` in this
// thread: waiting for a frame runs the loop until the frame is readable.
class loop_peer_t {
 public:
  using socket_t = boost::asio::local::stream_protocol::socket;

  explicit loop_peer_t(boost::asio::io_context& io);

  socket_t take_socket() { return std::move(near_); }
  int fd() const { return far_.get(); }
  void send(const google::protobuf::Message& m, int fd = -1) { send_body(m.SerializePartialAsString(), fd); }
  void send_body(const std::string& body, int fd = -1) { mq::net::write_frame(far_.get(), body, fd); }
  // False when no frame comes; a timeout or a bad frame fails the test.
  bool receive(google::protobuf::Message& message, mq::util::unique_fd_t* fd = nullptr,
               std::chrono::milliseconds limit = wait_limit());
  // True when the near end closed with no frame before it.
  bool wait_closed(std::chrono::milliseconds limit = wait_limit());
  void close() { far_.reset(); }

 private:
  bool wait_readable_frame(std::chrono::milliseconds limit);

  boost::asio::io_context& io_;
  mq::util::unique_fd_t far_;
  socket_t near_;
};

// A peer of the daemon that may also misbehave: it sends what it is given,
// partial messages too, and sees error answers as they come.
template <class Request, class Response>
class protocol_peer_t {
 public:
  using request_t = Request;
  using response_t = Response;

  explicit protocol_peer_t(const std::string& path) : channel_(path, "socket", -1) {}
  int fd() const { return channel_.fd(); }
  void send(const request_t& m, int fd = -1) { channel_.send(m, fd); }
  response_t read(mq::util::unique_fd_t* fd = nullptr, std::chrono::milliseconds limit = wait_limit()) {
    response_t m;
    channel_.receive(m, fd, static_cast<int>(limit.count()));
    return m;
  }
  // False, with the frame in `next` when given, if a frame comes first.
  bool wait_closed(response_t* next = nullptr, std::chrono::milliseconds limit = wait_limit()) {
    const auto body = channel_.receive_body_or_end(nullptr, static_cast<int>(limit.count()));
    if (!body) return true;
    if (next && !next->ParseFromString(*body)) throw std::runtime_error("frame is not a valid " + next->GetTypeName());
    return false;
  }
  void close() { channel_.close(); }
  std::uint32_t next_serial() { return channel_.next_serial(); }
  // With a fresh serial; notifications on the way are skipped.
  response_t call(request_t request, int fd = -1, mq::util::unique_fd_t* out_fd = nullptr) {
    request.set_serial(next_serial());
    send(request, fd);
    response_t m = read(out_fd);
    while (!m.has_serial()) m = read(out_fd);
    if (m.serial() != request.serial()) throw std::runtime_error("answer to serial " + std::to_string(m.serial()));
    return m;
  }

 private:
  mq::api::channel_t channel_;
};

inline constexpr auto entry_request = &mq::api::sorter_session_t::entry_request;

class sorter_peer_t : public protocol_peer_t<mq::Sorter2MailQuarantineMessage, mq::MailQuarantine2SorterMessage> {
 public:
  // With `greeting`, reads the STORE_STATE_NOTIFICATION first.
  explicit sorter_peer_t(const std::string& path, bool greeting = true);
  std::uint64_t put(const std::string& content, mq::Status status, const mq::Entry& entry = mq::Entry());
};

class client_peer_t : public protocol_peer_t<mq::Client2MailQuarantineMessage, mq::MailQuarantine2ClientMessage> {
 public:
  using protocol_peer_t::protocol_peer_t;
  response_t stat() { return request(request_t::GET_QUEUE_STAT_REQUEST); }
  response_t flush(mq::Status status) { return request(request_t::FLUSH_QUEUE_REQUEST, status); }
  response_t check(bool fix) { return request(request_t::CHECK_HEALTH_REQUEST, {}, fix); }

 private:
  response_t request(request_t::Tag tag, mq::Status status = {}, bool fix = false);
};

}  // namespace mq::test
