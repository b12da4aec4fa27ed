#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "net/frame.h"
#include "net/ipc_error.h"
#include "net/local_ipc_link.h"
#include "net/tag_name.h"
#include "net/tagged.h"
#include "ov/error.h"
#include "ov/logger.h"
#include "util/callback_wrapper.h"
#include "util/result.h"
#include "util/unique_fd.h"

namespace mq::net {

// What the sessions of both socket protocols share: the link with its
// backpressure, the request serials in progress, parsing, logging, framing,
// answers in completion order, and the end of the connection. A protocol's
// session parses and checks each request and hands it to the store.
// Event-loop thread only.
class connection_t : public local_ipc_link_t::delegate_t, public mq::util::callback_wrapper_t {
 public:
  using socket_t = local_ipc_link_t::socket_t;
  template <class T>
  using completion_t = std::function<void(mq::util::result_t<T>)>;

  // An answer built and serialized off the event loop, its serial set.
  struct prepared_t {
    frame_t frame;
    std::string tag;
    mq::util::unique_fd_t fd;
  };

  // Per connection: at most this many requests in progress and this much
  // queued for the peer before reading stops; reading resumes at the low marks.
  static const local_ipc_link_t::flow_limits_t flow_limits;

  // `side` ("Sorter", "Client") starts every log line of the connection;
  // `kinds` is the number of request kinds that carry serials. The link
  // starts reading at once.
  connection_t(socket_t socket, const char* side, std::size_t kinds);
  virtual ~connection_t();

  // `ended` runs once the connection has ended (its link is gone and the
  // end is logged); it may destroy this object.
  void on_end(std::function<void()> ended) { ended_ = std::move(ended); }

  // Logs and queues one message with an optional descriptor. Does nothing
  // once the link has ended. Throws frame_too_large_t (nothing sent) when
  // it does not fit a frame.
  template <class message_t>
  void send(const message_t& message, mq::util::unique_fd_t fd = mq::util::unique_fd_t()) {
    if (!link_) return;
    frame_t frame = serialize_frame(message);
    OV_LOG(debug, side_ << " <-- " << tag_name<message_t>(message.tag()));
    link_->send(std::move(frame.data), frame.size, std::move(fd));
  }

  // Who is at the other end ("uid U pid P"), for the audit lines and the
  // line that says a connection was dropped.
  const std::string& peer() const { return peer_; }

  // Reads no further request; the connection ends once every request in
  // progress is answered and written (at once when there is none).
  void drain();
  // The same, past the drain limit: the requests in progress whose work was
  // dropped hold the connection no longer; it ends once what was answered
  // is written.
  void abandon();

  void on_written() override;
  void on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override;
  void on_error(std::exception_ptr error) override;

 protected:
  // Claims `serial` for a request of `kind` (ipc_error_t "Repeated request
  // serial" when one of that kind is in progress; kinds never clash) and
  // returns its completion, dropped once this object is gone: it releases
  // the serial, then sends `build(value, fd)` with the serial (and the
  // descriptor `build` may set); a failure, and a response too large for a
  // frame, goes out as `failure_tag` with the serial and the error.
  // `reserved` bytes (see answer_budget) count as queued until then.
  template <class response_t, class value_t, class build_t>
  completion_t<value_t> answer(std::size_t kind, std::uint32_t serial, typename response_t::Tag failure_tag,
                               build_t build, std::size_t reserved = 0) {
    claim(kind, serial, reserved);
    return wrap([this, kind, serial, failure_tag, reserved, build = std::move(build),
                 request = request_](mq::util::result_t<value_t> result) mutable {
      const held_watch_t watch(request);
      release(kind, serial, reserved);
      std::exception_ptr error = mq::util::error_of(result);
      if (!error) {
        mq::util::unique_fd_t fd;
        auto response = build(boost::get<value_t>(result), fd);
        if constexpr (std::is_same_v<decltype(response), prepared_t>) {
          // Built and serialized elsewhere, the serial in it.
          OV_LOG(debug, side_ << " <-- " << response.tag);
          if (link_) link_->send(std::move(response.frame.data), response.frame.size, std::move(fd));
          return;
        } else {
          response.set_serial(serial);
          try {
            send(response, std::move(fd));
            return;
          } catch (const frame_too_large_t&) {
            error = std::current_exception();
          }
        }
      }
      auto failure = tagged<response_t>(failure_tag);
      failure.set_serial(serial);
      ov::make_error(*failure.mutable_error(), error);
      send(failure);
    });
  }

  // The message in `data` (ipc_error_t "<type>: invalid message format"
  // when it is not one), logged.
  template <class message_t>
  message_t parse(const std::uint8_t* data, std::uint32_t size) {
    message_t message;
    if (!message.ParseFromArray(data, static_cast<int>(size)))
      throw ipc_error_t(message_t::descriptor()->full_name() + ": invalid message format");
    note_parsed(message);
    return message;
  }
  // A message parsed elsewhere, logged.
  template <class message_t>
  void note_parsed(const message_t& message) {
    OV_LOG(debug, side_ << " --> " << tag_name<message_t>(message.tag()));
    request_.tag = message.tag();
    request_.name = [](int tag) { return tag_name<message_t>(static_cast<typename message_t::Tag>(tag)); };
    request_.entry_id = message.has_entry_id() ? std::optional<std::uint64_t>(message.entry_id()) : std::nullopt;
  }

  // The request being handled, named in the warning about a held loop.
  struct request_name_t {
    int tag = 0;
    std::string (*name)(int) = nullptr;
    std::optional<std::uint64_t> entry_id;
  };
  // Warns when the event loop was held longer than held_loop_limit between
  // its construction and its end: the loop answers no one meanwhile.
  class held_watch_t {
   public:
    explicit held_watch_t(const request_name_t& request)
        : request_(request), start_(std::chrono::steady_clock::now()) {}
    ~held_watch_t();

   private:
    const request_name_t& request_;
    std::chrono::steady_clock::time_point start_;
  };
  static constexpr std::chrono::milliseconds held_loop_limit{100};

  // One frame: parse, check and forward. ipc_error_t and cf_exception_t end
  // this connection only.
  virtual void handle(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) = 0;

  // While a request is worked on off the event loop, later ones wait
  // unread, so that they cannot overtake it.
  void hold_reading() {
    if (link_) link_->hold_reading();
  }
  void resume_reading() {
    if (link_) link_->resume_reading();
  }
  // Inside handle() only: the frame's buffer, kept past the call.
  std::unique_ptr<std::uint8_t[]> take_frame() { return link_->take_frame(); }
  // Handles a request outside handle() (after work off the loop), with the
  // same outcome for a bad one: the connection ends, possibly inside.
  void run_request(const std::function<void()>& work);

  // Bytes an answer whose size is known only once it is made may take: the
  // room left under the connection's mark of bytes queued for the peer, at
  // least `floor`. Reserved through answer(), so that the answers of one
  // connection in progress and waiting stay near that mark however many
  // requests it pipelines.
  std::size_t answer_budget(std::size_t floor) const;

  // Everything sent so far has been written: the peer reads.
  virtual void on_sent() {}
  // Ends the connection for `reason`, logged as an error with the peer's
  // name. The owner may destroy this object inside.
  void drop(const std::string& reason);
  bool draining() const { return draining_; }

 private:
  void claim(std::size_t kind, std::uint32_t serial, std::size_t reserved);
  // Its response is about to be sent.
  void release(std::size_t kind, std::uint32_t serial, std::size_t reserved);
  void end(const std::exception_ptr& error);
  // Ends a draining connection that has nothing left to do.
  void end_if_drained();
  // The last thing its callers do.
  void ended();

  const std::string peer_;
  std::unique_ptr<local_ipc_link_t> link_;
  const char* side_;
  std::function<void()> ended_;
  std::vector<std::set<std::uint32_t>> serials_;
  bool draining_ = false;
  request_name_t request_;
};

}  // namespace mq::net
