#pragma once

#include <cstdint>
#include <exception>
#include <list>
#include <memory>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

#include "util/callback_wrapper.h"
#include "util/unique_fd.h"

namespace mq::util {

// Length-framed messages over a connected local stream socket, with at most
// one passed file descriptor per frame. Event-loop thread only.
class local_ipc_link_t : public callback_wrapper_t {
 public:
  using socket_t = boost::asio::local::stream_protocol::socket;

  // Largest accepted frame body.
  static constexpr std::uint32_t max_message_size = 64u * 1024u * 1024u;

  class delegate_t {
   public:
    // A write completed and the write queue is empty.
    virtual void on_written() = 0;
    // One frame arrived; `data` is valid only during the call.
    virtual void on_message(const std::uint8_t* data, std::uint32_t size, unique_fd_t fd) = 0;
    // The link failed; called once. The delegate may destroy the link.
    virtual void on_error(std::exception_ptr error) = 0;

   protected:
    ~delegate_t() = default;
  };

  // Starts reading at once.
  local_ipc_link_t(socket_t socket, delegate_t* delegate);
  ~local_ipc_link_t();

  // Queues one frame; `fd`, when present, travels with the body.
  void send(std::unique_ptr<std::uint8_t[]> data, std::uint32_t size, unique_fd_t fd = unique_fd_t());

  // Size of the read buffer: grows to the largest frame received, never shrinks.
  std::uint32_t read_capacity() const { return read_capacity_; }

 private:
  struct write_item_t {
    std::unique_ptr<std::uint8_t[]> data;
    std::uint32_t size = 0;
    unique_fd_t fd;
  };

  void read_next();
  void write_next();
  void fail(std::exception_ptr error);

  // Sets up one exact read of `size` bytes into the read buffer accepting at
  // most `max_fds` descriptors.
  void begin_read(std::uint32_t size, unsigned max_fds);
  // Reads until the socket has no more data; hands complete frames over.
  void pump_read();
  // One step of the exact read: true when complete, false when the socket
  // has no data yet or `ec` is set.
  bool recv_exact(boost::system::error_code& ec);
  // Writes the queue head on; called when the socket may be writable.
  void pump_write(const boost::system::error_code& wait_error);
  void fail_system(const boost::system::error_code& ec, const char* prefix);

  socket_t socket_;
  delegate_t* delegate_;
  std::list<write_item_t> write_queue_;
  std::unique_ptr<std::uint8_t[]> read_buffer_;
  int received_fd_ = -1;
  std::uint32_t read_capacity_ = 0;

  // Exact read in progress.
  bool reading_body_ = false;
  std::uint32_t read_size_ = 0;
  std::uint32_t read_done_ = 0;
  unsigned read_max_fds_ = 0;
  unsigned read_fds_ = 0;

  // Progress of the queue head.
  std::uint32_t write_done_ = 0;
  bool write_fd_sent_ = false;
};

}  // namespace mq::util
