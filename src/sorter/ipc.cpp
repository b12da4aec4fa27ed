#include "sorter/ipc.h"

#include <utility>

#include "ov/error.h"
#include "ov/logger.h"
#include "sorter/convert.h"
#include "sorter/tie.h"
#include "util/ipc_error.h"

namespace mq::sorter {

namespace {

using request_t = Sorter2MailQuarantineMessage;
using response_t = MailQuarantine2SorterMessage;

[[noreturn]] void violation(const std::string& text) {
  throw ov::cf_exception_t(ov::make_error_code(ov::EC_PROTOCOL_VIOLATION), text);
}

[[noreturn]] void missing(const request_t& message, const char* field) {
  violation("message " + request_t::descriptor()->full_name() + " tagged " + tag_name(message.tag()) +
            " does not have field " + field + " set");
}

void require_serial(const request_t& m) {
  if (!m.has_serial()) missing(m, "serial");
}

void require_entry_id(const request_t& m) {
  if (!m.has_entry_id()) missing(m, "entry_id");
}

void require_status(const request_t& m) {
  if (!m.has_status()) missing(m, "status");
}

mq::store::status_t store_status(Status status) { return static_cast<mq::store::status_t>(status - 1); }

}  // namespace

std::string tag_name(Sorter2MailQuarantineMessage::Tag tag) {
  const std::string& name = Sorter2MailQuarantineMessage::Tag_Name(tag);
  return name.empty() ? std::to_string(static_cast<int>(tag)) : name;
}

std::string tag_name(MailQuarantine2SorterMessage::Tag tag) {
  const std::string& name = MailQuarantine2SorterMessage::Tag_Name(tag);
  return name.empty() ? std::to_string(static_cast<int>(tag)) : name;
}

ipc_t::ipc_t(socket_t socket, tie_t* tie)
    : link_(std::make_unique<mq::util::local_ipc_link_t>(std::move(socket), this)), tie_(tie) {}

ipc_t::~ipc_t() = default;

void ipc_t::send(const MailQuarantine2SorterMessage& message, mq::util::unique_fd_t fd) {
  if (!link_) return;
  OV_LOG(debug, "Sorter <-- " << tag_name(message.tag()));
  const std::size_t size = message.ByteSizeLong();
  std::unique_ptr<std::uint8_t[]> body(new std::uint8_t[size]);
  message.SerializeWithCachedSizesToArray(body.get());
  link_->send(std::move(body), static_cast<std::uint32_t>(size), std::move(fd));
}

void ipc_t::on_written() {}

void ipc_t::on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) {
  std::exception_ptr failure;
  try {
    request_t message;
    if (!message.ParseFromArray(data, static_cast<int>(size)))
      throw mq::util::ipc_error_t(request_t::descriptor()->full_name() + ": invalid message format");
    OV_LOG(debug, "Sorter --> " << tag_name(message.tag()));
    dispatch(message, std::move(fd));
    return;
  } catch (const mq::util::ipc_error_t&) {
    failure = std::current_exception();
  } catch (const ov::cf_exception_t&) {
    // A request that lacks what it needs is as malformed as one that does
    // not parse: it ends its own connection, never the daemon.
    failure = std::current_exception();
  }
  end(failure);
}

void ipc_t::dispatch(const Sorter2MailQuarantineMessage& m, mq::util::unique_fd_t fd) {
  switch (m.tag()) {
    case request_t::GET_ENTRY_REQUEST:
      require_serial(m);
      require_entry_id(m);
      tie_->on_get_entry_request(m.serial(), static_cast<std::int64_t>(m.entry_id()));
      return;
    case request_t::PUT_ENTRY_REQUEST:
      require_serial(m);
      require_status(m);
      if (!fd) violation(request_t::descriptor()->full_name() + ": message file not specified");
      tie_->on_put_entry_request(m.serial(), to_entry(m.entry(), store_status(m.status()), std::move(fd)));
      return;
    case request_t::UPDATE_ENTRY_REQUEST: {
      require_serial(m);
      require_entry_id(m);
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
      require_entry_id(m);
      require_serial(m);
      tie_->on_remove_entry_request(m.serial(), static_cast<std::int64_t>(m.entry_id()));
      return;
    case request_t::GET_ENTRY_IDS_REQUEST: {
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
    case request_t::SUBSCRIBE_TO_QUEUE_CHANGES:
      tie_->on_subscribe_to_queue_change();
      return;
  }
  throw mq::util::ipc_error_t("Unknown message tag " + std::to_string(static_cast<int>(m.tag())));
}

void ipc_t::on_error(std::exception_ptr error) { end(std::move(error)); }

void ipc_t::end(std::exception_ptr error) {
  link_.reset();
  tie_->on_ended(std::move(error));
}

}  // namespace mq::sorter
