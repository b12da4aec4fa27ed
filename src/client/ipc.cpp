#include "client/ipc.h"

#include <utility>

#include "client/tie.h"
#include "ov/logger.h"
#include "util/ipc_error.h"

namespace mq::client {

namespace {

using request_t = Client2MailQuarantineMessage;

[[noreturn]] void missing(const request_t& message, const char* field) {
  throw mq::util::ipc_error_t("Message " + request_t::descriptor()->full_name() + " tagged " + tag_name(message.tag()) +
                              ": required field " + field + " is not set");
}

void require_serial(const request_t& m) {
  if (!m.has_serial()) missing(m, "serial");
}

void require_status(const request_t& m) {
  if (!m.has_status()) missing(m, "status");
}

mq::store::status_t store_status(Status status) { return static_cast<mq::store::status_t>(status - 1); }

}  // namespace

std::string tag_name(Client2MailQuarantineMessage::Tag tag) {
  const std::string& name = Client2MailQuarantineMessage::Tag_Name(tag);
  return name.empty() ? std::to_string(static_cast<int>(tag)) : name;
}

std::string tag_name(MailQuarantine2ClientMessage::Tag tag) {
  const std::string& name = MailQuarantine2ClientMessage::Tag_Name(tag);
  return name.empty() ? std::to_string(static_cast<int>(tag)) : name;
}

ipc_t::ipc_t(socket_t socket, tie_t* tie)
    : link_(std::make_unique<mq::util::local_ipc_link_t>(std::move(socket), this)), tie_(tie) {}

ipc_t::~ipc_t() = default;

void ipc_t::send(const MailQuarantine2ClientMessage& message) {
  if (!link_) return;
  OV_LOG(debug, "Client <-- " << tag_name(message.tag()));
  const std::size_t size = message.ByteSizeLong();
  std::unique_ptr<std::uint8_t[]> body(new std::uint8_t[size]);
  message.SerializeWithCachedSizesToArray(body.get());
  link_->send(std::move(body), static_cast<std::uint32_t>(size));
}

void ipc_t::on_written() {}

// A descriptor sent along is never used: `fd` closes when this returns.
void ipc_t::on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t /*fd*/) {
  std::exception_ptr failure;
  try {
    request_t message;
    if (!message.ParseFromArray(data, static_cast<int>(size)))
      throw mq::util::ipc_error_t(request_t::descriptor()->full_name() + ": invalid message format");
    OV_LOG(debug, "Client --> " << tag_name(message.tag()));
    dispatch(message);
    return;
  } catch (const mq::util::ipc_error_t&) {
    failure = std::current_exception();
  }
  end(failure);
}

void ipc_t::dispatch(const Client2MailQuarantineMessage& m) {
  switch (m.tag()) {
    case request_t::GET_QUEUE_CHUNK_REQUEST: {
      require_serial(m);
      require_status(m);
      mq::store::queue_chunk_request_t request;
      request.entry_id = static_cast<std::int64_t>(m.entry_id());
      request.next_access_ts = m.next_access_ts();
      request.status = store_status(m.status());
      request.limit = m.limit();
      tie_->on_get_queue_chunk_request(m.serial(), request);
      return;
    }
    case request_t::GET_QUEUE_STAT_REQUEST:
      require_serial(m);
      tie_->on_get_queue_stat_request(m.serial());
      return;
    case request_t::FLUSH_QUEUE_REQUEST:
      require_serial(m);
      require_status(m);
      tie_->on_flush_queue_request(m.serial(), store_status(m.status()));
      return;
    case request_t::CHECK_HEALTH_REQUEST:
      require_serial(m);
      tie_->on_check_health_request(m.serial(), m.fix());
      return;
  }
  throw mq::util::ipc_error_t("Unexpected message tag " + std::to_string(static_cast<int>(m.tag())));
}

void ipc_t::on_error(std::exception_ptr error) { end(std::move(error)); }

void ipc_t::end(std::exception_ptr error) {
  link_.reset();
  tie_->on_ended(std::move(error));
}

}  // namespace mq::client
