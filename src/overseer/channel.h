#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>

#include "mail_quarantine_appstat.pb.h"
#include "mail_quarantine_config.pb.h"
#include "net/local_ipc_link.h"
#include "overseer_mail_quarantine_ipc.pb.h"

namespace mq::overseer {

// The monitor channel to the supervisor: asks for configurations, announces
// applied revisions and sends statistics. Event-loop thread only.
//
// Any failure of the channel (the link fails, or a received message is
// malformed or unexpected) destroys the link and is rethrown out of the
// event loop: the daemon lives and dies with this channel.
class channel_t final : private mq::net::local_ipc_link_t::delegate_t {
 public:
  using config_callback_t = std::function<void(ov::MailQuarantineConfig config, std::uint32_t revision)>;

  // The link starts reading at once.
  explicit channel_t(mq::net::local_ipc_link_t::socket_t socket);
  ~channel_t();
  channel_t(const channel_t&) = delete;
  channel_t& operator=(const channel_t&) = delete;

  // Sends GET_CONFIG_REQUEST; `callback` gets the response. Responses are
  // matched to requests by order alone.
  void request_config(config_callback_t callback);
  // MY_INFO_NOTIFICATION with the applied revision.
  void notify_info(std::uint32_t revision);
  // MY_STAT_NOTIFICATION.
  void notify_stat(const ov::MailQuarantineAppStat& stat);

  // False once the channel has failed.
  bool is_open() const { return link_ != nullptr; }

 private:
  void on_written() override;
  void on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override;
  void on_error(std::exception_ptr error) override;

  void handle(const std::uint8_t* data, std::uint32_t size);
  // Replaces a message of `latest_kind` (not 0) still waiting whole.
  void send(const ov::MailQuarantine2OverseerMessage& message, std::uint32_t latest_kind = 0);

  std::unique_ptr<mq::net::local_ipc_link_t> link_;
  std::list<config_callback_t> pending_;
};

}  // namespace mq::overseer
