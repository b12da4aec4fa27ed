#pragma once

#include <cstdint>
#include <string>

#include "api/channel.h"
#include "api/error.h"
#include "api/page.h"

namespace mq::api {

// What the sessions of both sockets share: requests with fresh serials on
// one channel, and page walks. `self_t` (the session) answers page().
template <class self_t, class request_type, class response_type>
class session_t {
 public:
  using request_t = request_type;
  using response_t = response_type;

  // For poll() over several sessions.
  int fd() const { return channel_.fd(); }

  // The tag of the answer to a request of `tag`: both protocols number
  // them alike.
  static typename response_t::Tag answer_tag(typename request_t::Tag tag) {
    return static_cast<typename response_t::Tag>(static_cast<int>(tag));
  }

  // Pipelining: sends `request` with a fresh serial, returns the serial.
  std::uint32_t send(request_t request, int fd = -1) {
    const std::uint32_t serial = channel_.next_serial();
    request.set_serial(serial);
    channel_.send(request, fd);
    return serial;
  }

  // The queue of `status` page by page, as walk_pages() tells.
  template <class on_page_t>
  void walk(Status status, const page_key_t& start, std::uint64_t limit, on_page_t&& on_page) {
    walk_pages(
        start, [&](const page_key_t& key) { return static_cast<self_t*>(this)->page(status, key, limit); }, on_page);
  }

 protected:
  // Throws connection_error_t; `timeout_ms` < 0 waits for ever.
  session_t(const std::string& path, const std::string& name, int timeout_ms) : channel_(path, name, timeout_ms) {}

  // Ends the connection: after an answer that is not the one awaited, no
  // later answer can be trusted to be whose it says.
  [[noreturn]] void fail(const std::string& what) {
    channel_.close();
    throw connection_error_t(what);
  }

  // An answer must carry the serial of its request and the tag that answers
  // it, or the error answer's (self_t::error_tag).
  void check_answer(const response_t& response, std::uint32_t serial, typename response_t::Tag expected) {
    if (!response.has_serial() || response.serial() != serial)
      fail("the daemon answered serial " + std::to_string(response.serial()) + " instead of " + std::to_string(serial));
    if (response.tag() != expected && response.tag() != self_t::error_tag)
      fail("the daemon answered " + response_t::Tag_Name(response.tag()) + " instead of " +
           response_t::Tag_Name(expected));
  }

  channel_t channel_;
};

}  // namespace mq::api
