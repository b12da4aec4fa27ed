#include "sorter/ipc.h"

#include <utility>

#include "ov/error.h"
#include "ov/logger.h"
#include "sorter/convert.h"
#include "sorter/tie.h"
#include "util/ipc_error.h"
#include "wire/page.h"

namespace mq::sorter {

namespace {

using request_t = Sorter2MailQuarantineMessage;

[[noreturn]] void violation(const std::string& text) {
  throw ov::cf_exception_t(ov::make_error_code(ov::EC_PROTOCOL_VIOLATION), text);
}

[[noreturn]] void missing(const request_t& message, const char* field) {
  violation("message " + request_t::descriptor()->full_name() + " tagged " +
            mq::util::tag_name<request_t>(message.tag()) + " does not have field " + field + " set");
}

void require(bool present, const request_t& m, const char* field) {
  if (!present) missing(m, field);
}

}  // namespace

ipc_t::ipc_t(socket_t socket, tie_t* tie) : protocol_codec_t(std::move(socket), "Sorter", kinds), tie_(tie) {}

ipc_t::~ipc_t() = default;

void ipc_t::handle(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) {
  request_t message;
  parse(message, data, size);
  dispatch(message, std::move(fd));
}

void ipc_t::disconnected() { tie_->on_disconnected(); }

void ipc_t::dispatch(const Sorter2MailQuarantineMessage& m, mq::util::unique_fd_t fd) {
  switch (m.tag()) {
    case request_t::GET_ENTRY_REQUEST:
      require(m.has_serial(), m, "serial");
      require(m.has_entry_id(), m, "entry_id");
      tie_->on_get_entry_request(m.serial(), static_cast<std::int64_t>(m.entry_id()));
      return;
    case request_t::PUT_ENTRY_REQUEST:
      require(m.has_serial(), m, "serial");
      require(m.has_status(), m, "status");
      if (!fd) violation(request_t::descriptor()->full_name() + ": message file not specified");
      tie_->on_put_entry_request(m.serial(), to_entry(m.entry(), mq::wire::to_store(m.status()), std::move(fd)));
      return;
    case request_t::UPDATE_ENTRY_REQUEST: {
      require(m.has_serial(), m, "serial");
      require(m.has_entry_id(), m, "entry_id");
      const EntryUpdate& u = m.entry_update();
      if (fd && !u.has_message_size()) violation("Entry does not have message_size");
      mq::store::entry_metadata_update_t update = to_update(u);
      const auto serial = m.serial();
      const auto id = static_cast<std::int64_t>(m.entry_id());
      if (!fd) {
        tie_->on_update_entry_request(serial, id, std::move(update), boost::none);
        return;
      }
      // The stated size goes with a new file only.
      update.message_size = u.message_size();
      tie_->on_update_entry_request(serial, id, std::move(update),
                                    mq::store::shared_file_t(fd.release(), u.message_size()));
      return;
    }
    case request_t::REMOVE_ENTRY_REQUEST:
      require(m.has_entry_id(), m, "entry_id");
      require(m.has_serial(), m, "serial");
      tie_->on_remove_entry_request(m.serial(), static_cast<std::int64_t>(m.entry_id()));
      return;
    case request_t::GET_ENTRY_IDS_REQUEST: {
      require(m.has_serial(), m, "serial");
      require(m.has_status(), m, "status");
      tie_->on_get_queue_chunk_request(m.serial(), mq::wire::page_request(m));
      return;
    }
    case request_t::SUBSCRIBE_TO_QUEUE_CHANGES:
      tie_->on_subscribe_to_queue_change();
      return;
  }
  throw mq::util::ipc_error_t("Unknown message tag " + std::to_string(static_cast<int>(m.tag())));
}

}  // namespace mq::sorter
