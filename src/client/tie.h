#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "client/ipc.h"
#include "store/entry.h"
#include "util/callback_wrapper.h"
#include "util/result.h"

namespace mq::client {

// One management-client connection: keeps the serials in progress, forwards
// requests to its delegate and answers them in completion order.
// Event-loop thread only.
class tie_t : public mq::util::callback_wrapper_t {
 public:
  using socket_t = ipc_t::socket_t;
  template <class T>
  using completion_t = std::function<void(mq::util::result_t<T>)>;

  class delegate_t {
   public:
    virtual void get_queue_stat(completion_t<mq::store::queue_stats_t> completion) = 0;
    virtual void get_queue_chunk(mq::store::queue_chunk_request_t request,
                                 completion_t<std::vector<mq::store::entry_brief_t>> completion) = 0;
    virtual void flush_queue(mq::store::status_t status, completion_t<std::string> completion) = 0;
    virtual void check_health(bool fix, completion_t<std::string> completion) = 0;
    // The connection has ended; the delegate destroys the tie_t inside.
    virtual void on_disconnected() = 0;

   protected:
    ~delegate_t() = default;
  };

  // The link starts reading at once; nothing is sent unasked.
  tie_t(socket_t socket, delegate_t* delegate);
  ~tie_t();

  // Reads no further request; the connection ends once the requests in
  // progress are answered.
  void drain() { ipc_.drain(); }
  void abandon() { ipc_.abandon(); }

  // Called by the codec with checked requests.
  void on_get_queue_chunk_request(std::uint32_t serial, mq::store::queue_chunk_request_t request);
  void on_get_queue_stat_request(std::uint32_t serial);
  void on_flush_queue_request(std::uint32_t serial, mq::store::status_t status);
  void on_check_health_request(std::uint32_t serial, bool fix);

  // The codec has ended (its link is gone and the end is logged): tells the
  // delegate, which destroys this object.
  void on_disconnected();

 private:
  // The completion of a request of `kind`: the response built by `build`,
  // or on failure the same tag with the error.
  template <class value_t, class build_t>
  auto answer(ipc_t::kind_t kind, std::uint32_t serial, MailQuarantine2ClientMessage::Tag tag, build_t build);

  ipc_t ipc_;
  delegate_t* delegate_;
};

}  // namespace mq::client
