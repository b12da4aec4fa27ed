#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <list>
#include <memory>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

#include "net/frame.h"
#include "util/callback_wrapper.h"
#include "util/unique_fd.h"

namespace mq::net {

// Length-framed messages over a connected local stream socket, with at most
// one passed file descriptor per frame. Event-loop thread only.
class local_ipc_link_t : public mq::util::callback_wrapper_t {
 public:
  using socket_t = boost::asio::local::stream_protocol::socket;

  class delegate_t {
   public:
    // A write completed and the write queue is empty.
    virtual void on_written() = 0;
    // One frame arrived; `data` is valid only during the call.
    virtual void on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) = 0;
    // The link failed; called once. The delegate may destroy the link.
    virtual void on_error(std::exception_ptr error) = 0;

   protected:
    ~delegate_t() = default;
  };

  // Backpressure of one connection: reading stops before the next frame
  // while any count is at or above its high mark and starts again once
  // every count is at or below its low mark. The requests waiting meanwhile
  // stay in the socket buffer, and the peer blocks on send.
  struct flow_limits_t {
    std::size_t high_requests, low_requests;  // requests in progress
    std::size_t high_bytes, low_bytes;        // bytes queued for writing
    std::size_t high_fds, low_fds;            // descriptors queued for writing
  };
  // No bound: what a link has until set_flow_limits.
  static const flow_limits_t unbounded;

  // Starts reading at once.
  local_ipc_link_t(socket_t socket, delegate_t* delegate);
  ~local_ipc_link_t();

  // Queues one frame; `fd`, when present, travels with the body.
  void send(std::unique_ptr<std::uint8_t[]> data, std::uint32_t size,
            mq::util::unique_fd_t fd = mq::util::unique_fd_t());
  // Queues one frame of `kind` (not 0) without a descriptor; a frame of the
  // same kind still waiting whole in the queue is replaced instead.
  void send_latest(std::uint32_t kind, std::unique_ptr<std::uint8_t[]> data, std::uint32_t size);

  void set_flow_limits(const flow_limits_t& limits);
  // The owner counts the requests of the peer it is working on.
  void request_started();
  void request_finished();
  // Requests in progress whose work will never run: none counts any more.
  void abandon_requests() { requests_ = 0; }
  // Bytes set aside for an answer still being made (a page whose size is
  // known only once read): they count as queued for writing until released.
  void reserve_bytes(std::size_t n) { reserved_bytes_ += n; }
  void release_bytes(std::size_t n);
  // What may still be queued or set aside before reading stops.
  std::size_t room() const;

  // Reads no further frame (a frame half read is dropped); writing goes on.
  void stop_reading();
  // Reads no further frame until as many resume_reading(): the owner works
  // on a frame that later ones must not overtake.
  void hold_reading() { ++holds_; }
  void resume_reading();
  // Inside on_message only: the frame's buffer, given up by the link, which
  // reads on into a new one.
  std::unique_ptr<std::uint8_t[]> take_frame();
  // No request in progress and nothing left to write.
  bool idle() const { return requests_ == 0 && write_queue_.empty(); }

  // Size of the read buffer: grows for a frame, back to the initial size
  // after a frame larger than keep_read_capacity.
  static constexpr std::uint32_t initial_read_capacity = 4096;
  static constexpr std::uint32_t keep_read_capacity = 64u * 1024u;
  // Bytes read in one turn of the event loop, at most (about 0.1 ms of copying).
  static constexpr std::uint32_t max_read_per_turn = 1024u * 1024u;

 private:
  struct write_item_t {
    std::unique_ptr<std::uint8_t[]> data;
    std::uint32_t size = 0;
    mq::util::unique_fd_t fd;
    std::uint32_t kind = 0;
  };

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
  void enqueue(std::unique_ptr<std::uint8_t[]> data, std::uint32_t size, mq::util::unique_fd_t fd, std::uint32_t kind);
  void pop_written();
  bool over_high() const;
  // Starts reading again when paused and every count is low enough.
  void maybe_resume();

  socket_t socket_;
  delegate_t* delegate_;
  std::list<write_item_t> write_queue_;
  std::unique_ptr<std::uint8_t[]> read_buffer_;
  int received_fd_ = -1;
  std::uint32_t read_capacity_ = 0;

  flow_limits_t limits_ = unbounded;
  std::size_t requests_ = 0;
  std::size_t queued_bytes_ = 0;
  std::size_t reserved_bytes_ = 0;
  std::size_t queued_fds_ = 0;
  bool paused_ = false;
  bool stopped_ = false;
  std::size_t holds_ = 0;

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

}  // namespace mq::net
