#include "client/ipc.h"

#include <utility>

#include "client/tie.h"
#include "util/ipc_error.h"
#include "wire/page.h"

namespace mq::client {

namespace {

using request_t = Client2MailQuarantineMessage;

void require(bool present, const request_t& m, const char* field) {
  if (present) return;
  throw mq::util::ipc_error_t("Message " + request_t::descriptor()->full_name() + " tagged " +
                              mq::util::tag_name<request_t>(m.tag()) + ": required field " + field + " is not set");
}

}  // namespace

ipc_t::ipc_t(socket_t socket, tie_t* tie) : protocol_codec_t(std::move(socket), "Client", kinds), tie_(tie) {}

ipc_t::~ipc_t() = default;

void ipc_t::handle(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t /*fd*/) {
  request_t message;
  parse(message, data, size);
  dispatch(message);
}

void ipc_t::disconnected() { tie_->on_disconnected(); }

void ipc_t::dispatch(const Client2MailQuarantineMessage& m) {
  switch (m.tag()) {
    case request_t::GET_QUEUE_CHUNK_REQUEST:
      require(m.has_serial(), m, "serial");
      require(m.has_status(), m, "status");
      tie_->on_get_queue_chunk_request(m.serial(), mq::wire::page_request(m));
      return;
    case request_t::GET_QUEUE_STAT_REQUEST:
      require(m.has_serial(), m, "serial");
      tie_->on_get_queue_stat_request(m.serial());
      return;
    case request_t::FLUSH_QUEUE_REQUEST:
      require(m.has_serial(), m, "serial");
      require(m.has_status(), m, "status");
      tie_->on_flush_queue_request(m.serial(), mq::wire::to_store(m.status()));
      return;
    case request_t::CHECK_HEALTH_REQUEST:
      require(m.has_serial(), m, "serial");
      tie_->on_check_health_request(m.serial(), m.fix());
      return;
  }
  throw mq::util::ipc_error_t("Unexpected message tag " + std::to_string(static_cast<int>(m.tag())));
}

}  // namespace mq::client
