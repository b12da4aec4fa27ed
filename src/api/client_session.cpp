#include "api/client_session.h"

#include "api/error.h"
#include "mail_quarantine_sorter_ipc.pb.h"

namespace mq::api {

namespace {

const char* const name = "client socket";

std::string mixed_up(const std::string& path) {
  return path + " is a Sorter socket, not the client socket (see --client-socket)";
}

// The Sorter side greets every connection at once.
bool is_sorter_greeting(const std::string& body) {
  MailQuarantine2SorterMessage greeting;
  return greeting.ParsePartialFromString(body) && greeting.IsInitialized() &&
         greeting.tag() == MailQuarantine2SorterMessage::STORE_STATE_NOTIFICATION;
}

}  // namespace

client_session_t::client_session_t(const std::string& path, int timeout_ms) : session_t(path, name, timeout_ms) {}

void client_session_t::diagnose() const {
  // A Sorter socket hangs up on a client request, maybe before its greeting
  // got out; on a quiet connection it greets at once.
  bool sorter = false;
  try {
    channel_t quiet(channel_.path(), "Sorter socket", 2000);
    sorter = is_sorter_greeting(quiet.receive_body());
  } catch (const connection_error_t&) {
  }
  if (sorter) throw connection_error_t(mixed_up(channel_.path()));
}

client_session_t::response_t client_session_t::receive() {
  const std::string body = channel_.receive_body();
  response_t response;
  if (!response.ParsePartialFromString(body) || !response.IsInitialized()) {
    if (is_sorter_greeting(body)) fail(mixed_up(channel_.path()));
    fail("the daemon sent a message that is not a valid " + response.GetTypeName());
  }
  return response;
}

void client_session_t::throw_if_error(const response_t& response) {
  if (response.has_error()) throw_error(response.error());
}

client_session_t::response_t client_session_t::call(request_t request) {
  const request_t::Tag tag = request.tag();
  const bool first = !called_;
  called_ = true;
  std::uint32_t serial = 0;
  response_t response;
  try {
    serial = send(std::move(request));
    response = receive();
  } catch (const connection_error_t&) {
    if (first) diagnose();
    throw;
  }
  check_answer(response, serial, answer_tag(tag));
  throw_if_error(response);
  return response;
}

client_session_t::response_t client_session_t::stat() {
  request_t request;
  request.set_tag(request_t::GET_QUEUE_STAT_REQUEST);
  return call(request);
}

client_session_t::response_t client_session_t::flush(Status status) {
  request_t request;
  request.set_tag(request_t::FLUSH_QUEUE_REQUEST);
  request.set_status(status);
  return call(request);
}

client_session_t::response_t client_session_t::check(bool fix) {
  request_t request;
  request.set_tag(request_t::CHECK_HEALTH_REQUEST);
  request.set_fix(fix);
  return call(request);
}

client_session_t::response_t client_session_t::page(Status status, const page_key_t& key, std::uint64_t limit) {
  return call(page_request<request_t>(request_t::GET_QUEUE_CHUNK_REQUEST, status, key, limit));
}

}  // namespace mq::api
