#pragma once

// Blocking peers of a running daemon's two sockets, speaking the real
// frames over the real socket files. Every read has a timeout.

#include <cstdint>
#include <string>
#include <vector>

#include "mail_quarantine_client_ipc.pb.h"
#include "mail_quarantine_sorter_ipc.pb.h"
#include "util/unique_fd.h"

namespace mq::test {

constexpr int peer_timeout_ms = 60000;

// An anonymous in-memory file holding `content` (a real descriptor to pass).
mq::util::unique_fd_t memory_file_fd(const std::string& content);
// Everything readable behind `fd`, from its start.
std::string read_all(int fd);

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
  // The next frame; fails the test on timeout or end of stream.
  response_t read(mq::util::unique_fd_t* fd = nullptr, int timeout_ms = peer_timeout_ms);
  // True when the daemon closed the connection (no frame came first).
  bool wait_closed(int timeout_ms = peer_timeout_ms);
  void close() { socket_.reset(); }

  std::uint32_t next_serial() { return ++serial_; }

  // Request and response with a fresh serial; queue-change notifications
  // on the way are counted, not returned.
  response_t call(request_t request, int fd = -1, mq::util::unique_fd_t* out_fd = nullptr);

  // Stores `content` with the given envelope; returns the new id.
  std::uint64_t put(const std::string& content, mq::Status status, const mq::Entry& entry = mq::Entry());
  // Notifications skipped by call() so far.
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
  response_t read(int timeout_ms = peer_timeout_ms);
  bool wait_closed(int timeout_ms = peer_timeout_ms);
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
