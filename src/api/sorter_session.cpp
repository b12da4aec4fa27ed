#include "api/sorter_session.h"

#include "api/error.h"

namespace mq::api {

namespace {

// Serial 0 is never used by a request of a session: it marks the probe
// sent on connecting.
constexpr std::uint32_t probe_serial = 0;

}  // namespace

sorter_session_t::sorter_session_t(const std::string& path, int timeout_ms)
    : session_t(path, "Sorter socket", timeout_ms) {
  request_t probe;
  probe.set_tag(request_t::GET_ENTRY_IDS_REQUEST);
  probe.set_serial(probe_serial);
  probe.set_status(SMTP_FRESH);
  probe.set_limit(1);
  response_t greeting;
  const std::string wrong =
      path + " did not greet as a Sorter socket does (is it the client socket? see --sorter-socket)";
  try {
    channel_.send(probe);
    channel_.receive(greeting);
  } catch (const connection_error_t& e) {
    throw connection_error_t(wrong + ": " + e.what());
  }
  if (greeting.tag() != response_t::STORE_STATE_NOTIFICATION) throw connection_error_t(wrong);
  store_path_ = greeting.store_path();
  // Its answer is read here, so that none is left for a caller who polls.
  if (receive().serial() != probe_serial) fail("the daemon did not answer the first request first");
}

sorter_session_t::request_t sorter_session_t::entry_request(request_t::Tag tag, std::uint64_t id) {
  request_t m;
  m.set_tag(tag);
  m.set_entry_id(id);
  return m;
}

void sorter_session_t::subscribe() {
  request_t subscribe;
  subscribe.set_tag(request_t::SUBSCRIBE_TO_QUEUE_CHANGES);
  channel_.send(subscribe);
}

sorter_session_t::response_t sorter_session_t::receive(util::unique_fd_t* fd, int timeout_ms,
                                                       notifications_t notifications) {
  response_t response;
  do {
    channel_.receive(response, fd, timeout_ms);
  } while (response.tag() == response_t::QUEUE_CHANGE_NOTIFICATION && notifications == notifications_t::skip);
  return response;
}

void sorter_session_t::throw_if_alarm(const response_t& response) {
  if (response.tag() == response_t::ALARM) throw_error(response.error());
}

sorter_session_t::response_t sorter_session_t::call(request_t request, response_t::Tag expected, int fd,
                                                    util::unique_fd_t* out_fd) {
  const std::uint32_t serial = send(std::move(request), fd);
  util::unique_fd_t received;
  response_t response = receive(&received);
  check_answer(response, serial, expected);
  throw_if_alarm(response);
  if (out_fd) *out_fd = std::move(received);
  return response;
}

void sorter_session_t::fail_unawaited(const response_t& response) {
  fail("the daemon answered serial " + std::to_string(response.serial()) + ", which no request in flight has");
}

sorter_session_t::response_t sorter_session_t::page(Status status, const page_key_t& key, std::uint64_t limit) {
  return call(page_request<request_t>(request_t::GET_ENTRY_IDS_REQUEST, status, key, limit),
              response_t::GET_ENTRY_IDS_RESPONSE);
}

}  // namespace mq::api
