#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <set>
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
  tie_t(const tie_t&) = delete;
  tie_t& operator=(const tie_t&) = delete;
  ~tie_t();

  // Called by the codec with checked requests.
  void on_get_queue_chunk_request(std::uint32_t serial, mq::store::queue_chunk_request_t request);
  void on_get_queue_stat_request(std::uint32_t serial);
  void on_flush_queue_request(std::uint32_t serial, mq::store::status_t status);
  void on_check_health_request(std::uint32_t serial, bool fix);

  // The codec has ended (its link is gone): logs and tells the delegate,
  // which destroys this object.
  void on_ended(std::exception_ptr error);

 private:
  using serials_t = std::set<std::uint32_t>;

  static void claim(serials_t& serials, std::uint32_t serial);
  // A failed request is answered with its own tag, its serial and the error.
  void fail(MailQuarantine2ClientMessage::Tag tag, std::uint32_t serial, std::exception_ptr error);

  ipc_t ipc_;
  delegate_t* delegate_;
  serials_t get_queue_stat_serials_;
  serials_t get_queue_chunk_serials_;
  serials_t flush_queue_serials_;
  serials_t check_health_serials_;
};

}  // namespace mq::client
