#include "overseer/channel.h"

#include <string>
#include <utility>

#include <boost/system/system_error.hpp>

#include "net/frame.h"
#include "net/ipc_error.h"
#include "net/message_check.h"
#include "net/tagged.h"
#include "ov/error.h"

namespace mq::overseer {

namespace {

using in_t = ov::Overseer2MailQuarantineMessage;
using out_t = ov::MailQuarantine2OverseerMessage;

}  // namespace

channel_t::channel_t(mq::net::local_ipc_link_t::socket_t socket)
    : link_(std::make_unique<mq::net::local_ipc_link_t>(std::move(socket),
                                                        static_cast<mq::net::local_ipc_link_t::delegate_t*>(this))) {}

channel_t::~channel_t() = default;

void channel_t::request_config(config_callback_t callback) {
  pending_.push_back(std::move(callback));
  auto message = mq::net::tagged<out_t>(out_t::GET_CONFIG_REQUEST);
  send(message);
}

void channel_t::notify_info(std::uint32_t revision) {
  auto message = mq::net::tagged<out_t>(out_t::MY_INFO_NOTIFICATION);
  message.set_config_revision(revision);
  message.mutable_info();
  send(message);
}

void channel_t::notify_stat(const ov::MailQuarantineAppStat& stat) {
  auto message = mq::net::tagged<out_t>(out_t::MY_STAT_NOTIFICATION);
  *message.mutable_stat() = stat;
  // A supervisor that stops reading gets the latest figures once it reads
  // again, not one frame per second of its absence.
  send(message, out_t::MY_STAT_NOTIFICATION);
}

void channel_t::send(const out_t& message, std::uint32_t latest_kind) {
  // A failed channel has already ended the daemon's event loop; late
  // notifications have nowhere to go.
  if (!link_) return;
  mq::net::frame_t frame = mq::net::serialize_frame(message);
  if (latest_kind != 0) return link_->send_latest(latest_kind, std::move(frame.data), frame.size);
  link_->send(std::move(frame.data), frame.size);
}

void channel_t::on_written() {}

void channel_t::on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t) {
  try {
    handle(data, size);
  } catch (const std::exception&) {
    on_error(std::current_exception());
  }
  // Anything else (the application's ov::ErrorCode outcome) passes as it is.
}

void channel_t::handle(const std::uint8_t* data, std::uint32_t size) {
  in_t message;
  if (!message.ParseFromArray(data, static_cast<int>(size)))
    throw mq::net::ipc_error_t("ov.Overseer2MailQuarantineMessage: invalid message format");
  if (message.tag() != in_t::GET_CONFIG_RESPONSE) mq::net::unknown_tag(message);
  mq::net::require_field(message.has_config_revision(), message, "config_revision");
  mq::net::require_field(message.has_config(), message, "config");
  if (pending_.empty())
    throw boost::system::system_error(ov::make_error_code(ov::EC_UNEXPECTED_MESSAGE),
                                      std::to_string(static_cast<int>(message.tag())));
  config_callback_t callback = std::move(pending_.front());
  pending_.pop_front();
  callback(message.config(), message.config_revision());
}

void channel_t::on_error(std::exception_ptr error) {
  link_.reset();
  std::rethrow_exception(error);
}

}  // namespace mq::overseer
