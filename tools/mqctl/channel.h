#pragma once

#include <cstdint>
#include <string>

#include <google/protobuf/message.h>

#include "mail_quarantine_client_ipc.pb.h"
#include "mail_quarantine_sorter_ipc.pb.h"
#include "util/unique_fd.h"

namespace mqctl {

// One blocking connection to a socket of the daemon, one frame at a time.
class channel_t {
 public:
  // `name` says which socket it is in messages ("Sorter socket").
  // `timeout_ms` < 0 waits for ever.
  channel_t(const std::string& path, const std::string& name, int timeout_ms);

  void send(const google::protobuf::Message& message, int fd = -1);
  // The next frame, parsed into `message`; a descriptor that comes with it
  // goes to `fd` (or is closed when `fd` is null). `timeout_ms` overrides
  // the channel's timeout when given (>= -1).
  void receive(google::protobuf::Message& message, mq::util::unique_fd_t* fd = nullptr, int timeout_ms = -2);

  std::uint32_t next_serial() { return ++serial_; }

 private:
  std::string path_;
  std::string name_;
  int timeout_ms_;
  mq::util::unique_fd_t socket_;
  std::uint32_t serial_ = 0;
};

// Whether the daemon's error text says that the entry does not exist.
bool is_not_found(const std::string& what);

// The Sorter side: greets with the store path, then answers requests by
// serial; ALARM becomes daemon_error_t. A socket that does not greet so is
// told at once: a request sent right after connecting makes any other
// kind of socket answer or hang up.
class sorter_session_t {
 public:
  using request_t = mq::Sorter2MailQuarantineMessage;
  using response_t = mq::MailQuarantine2SorterMessage;

  sorter_session_t(const std::string& path, int timeout_ms);

  const std::string& store_path() const { return store_path_; }
  // Whether a message read on the channel is to be passed over: a
  // queue-change notification, or the answer to the greeting probe.
  static bool skip(const response_t& message);
  channel_t& channel() { return channel_; }

  // Sends `request` with a fresh serial and returns the matching response
  // of tag `expected`; queue-change notifications on the way are skipped.
  response_t call(request_t request, response_t::Tag expected, int fd = -1, mq::util::unique_fd_t* out_fd = nullptr);

 private:
  channel_t channel_;
  std::string store_path_;
};

// The management side: each request answered by the response of its kind.
class client_session_t {
 public:
  using request_t = mq::Client2MailQuarantineMessage;
  using response_t = mq::MailQuarantine2ClientMessage;

  client_session_t(const std::string& path, int timeout_ms);
  response_t call(request_t request);

 private:
  // Throws the clear message when `path_` turns out to be a Sorter socket.
  void diagnose() const;

  std::string path_;
  channel_t channel_;
};

}  // namespace mqctl
