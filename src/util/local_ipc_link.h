#pragma once

#include <cstdint>
#include <exception>
#include <list>
#include <memory>

#include <boost/asio/local/stream_protocol.hpp>

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

 private:
  struct write_item_t {
    std::unique_ptr<std::uint8_t[]> data;
    std::uint32_t size = 0;
    unique_fd_t fd;
  };

  void read_next();
  void write_next();
  void fail(std::exception_ptr error);

  socket_t socket_;
  delegate_t* delegate_;
  std::list<write_item_t> write_queue_;
  std::unique_ptr<std::uint8_t[]> read_buffer_;
  int received_fd_ = -1;
  std::uint32_t read_capacity_ = 0;
};

}  // namespace mq::util
