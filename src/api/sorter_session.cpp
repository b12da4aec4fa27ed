#include "api/sorter_session.h"

#include "api/error.h"

namespace mq::api {

namespace {

// Serial 0 is never used by a request of a session: it marks the probe
// sent on connecting.
constexpr std::uint32_t probe_serial = 0;

}  // namespace

sorter_session_t::sorter_session_t(const std::string& path, int timeout_ms)
    : channel_(path, "Sorter socket", timeout_ms) {
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
  if (receive().serial() != probe_serial) throw connection_error_t("the daemon did not answer the first request first");
}

void sorter_session_t::subscribe() {
  request_t subscribe;
  subscribe.set_tag(request_t::SUBSCRIBE_TO_QUEUE_CHANGES);
  channel_.send(subscribe);
}

std::uint32_t sorter_session_t::send(request_t request, int fd) {
  const std::uint32_t serial = channel_.next_serial();
  request.set_serial(serial);
  channel_.send(request, fd);
  return serial;
}

sorter_session_t::response_t sorter_session_t::receive(util::unique_fd_t* fd, int timeout_ms,
                                                       notifications_t notifications) {
  for (;;) {
    response_t response;
    channel_.receive(response, fd, timeout_ms);
    if (response.tag() == response_t::QUEUE_CHANGE_NOTIFICATION) {
      if (notifications == notifications_t::deliver) return response;
      continue;
    }
    return response;
  }
}

void sorter_session_t::throw_if_alarm(const response_t& response) {
  if (response.tag() == response_t::ALARM) throw_error(response.error());
}

sorter_session_t::response_t sorter_session_t::call(request_t request, response_t::Tag expected, int fd,
                                                    util::unique_fd_t* out_fd) {
  const std::uint32_t serial = send(std::move(request), fd);
  util::unique_fd_t received;
  response_t response = receive(&received);
  if (response.serial() != serial)
    throw connection_error_t("the daemon answered serial " + std::to_string(response.serial()) + " instead of " +
                             std::to_string(serial));
  throw_if_alarm(response);
  if (response.tag() != expected)
    throw connection_error_t("the daemon answered " + response_t::Tag_Name(response.tag()) + " instead of " +
                             response_t::Tag_Name(expected));
  if (out_fd) *out_fd = std::move(received);
  return response;
}

sorter_session_t::response_t sorter_session_t::ids_page(Status status, const page_key_t& key, std::uint64_t limit) {
  request_t request;
  request.set_tag(request_t::GET_ENTRY_IDS_REQUEST);
  request.set_status(status);
  request.set_entry_id(key.entry_id);
  request.set_next_access_ts(key.next_access_ts);
  request.set_limit(limit);
  return call(request, response_t::GET_ENTRY_IDS_RESPONSE);
}

void sorter_session_t::walk(Status status, const page_key_t& start, std::uint64_t limit,
                            const std::function<bool(const response_t&, const page_key_t&)>& on_page) {
  walk_pages(
      start, [&](const page_key_t& key) { return ids_page(status, key, limit); },
      [](const response_t& page) -> const auto& { return page.queue_key_list(); }, on_page);
}

}  // namespace mq::api
