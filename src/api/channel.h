#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <google/protobuf/message.h>

#include "util/unique_fd.h"

namespace mq::api {

// One blocking connection to a socket of the daemon, one frame at a time.
// Every failure is a connection_error_t that names the socket.
class channel_t {
 public:
  // Waits as long as the channel's own timeout.
  static constexpr int channel_timeout = -2;

  // `name` says which socket it is in messages ("Sorter socket").
  // `timeout_ms` < 0 waits for ever.
  channel_t(const std::string& path, const std::string& name, int timeout_ms);

  const std::string& path() const { return path_; }
  // For poll() over several channels.
  int fd() const { return socket_.get(); }

  // Sends what `message` holds, even without its required fields.
  void send(const google::protobuf::Message& message, int fd = -1);
  // The body of the next frame; a descriptor that comes with it goes to
  // `fd` (or is closed when `fd` is null). `timeout_ms` overrides the
  // channel's timeout unless it is channel_timeout.
  std::string receive_body(util::unique_fd_t* fd = nullptr, int timeout_ms = channel_timeout);
  // The same, or nothing when the daemon closed the connection before a frame.
  std::optional<std::string> receive_body_or_end(util::unique_fd_t* fd = nullptr, int timeout_ms = channel_timeout);
  // The next frame, parsed into `message`.
  void receive(google::protobuf::Message& message, util::unique_fd_t* fd = nullptr, int timeout_ms = channel_timeout);

  std::uint32_t next_serial() { return ++serial_; }
  // Hangs up; nothing goes either way after this.
  void close() { socket_.reset(); }

 private:
  std::string path_;
  std::string name_;
  int timeout_ms_;
  util::unique_fd_t socket_;
  std::uint32_t serial_ = 0;
};

}  // namespace mq::api
