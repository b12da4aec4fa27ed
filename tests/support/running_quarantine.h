#pragma once

// A real daemon under the test supervisor, configured to live in its own
// temporary directory and ready for service.

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "support/daemon_process.h"

namespace mq::test {

#ifdef ORVANE_MAIL_QUARANTINE_PATH
class running_quarantine_t {
 public:
  running_quarantine_t() : config_(make_test_config(dir_.path())), daemon_(daemon_options()) {
    daemon_.answer_config(config_, 1);
    daemon_.wait_message(ov::MailQuarantine2OverseerMessage::MY_INFO_NOTIFICATION);
  }

  const ov::MailQuarantineConfig& config() const { return config_; }
  const std::string& sorter_socket() const { return config_.sorter_socket_path(); }
  const std::string& client_socket() const { return config_.client_socket_path(); }
  const std::string& spool_dir() const { return config_.spool_dir(); }
  const temp_dir_t& dir() const { return dir_; }
  daemon_process_t& daemon() { return daemon_; }

  // Waits for a statistics report with `clients` connections; false when
  // none came within the timeout.
  bool wait_clients(std::uint32_t clients, int timeout_ms = default_timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      const auto m = daemon_.wait_message(ov::MailQuarantine2OverseerMessage::MY_STAT_NOTIFICATION, timeout_ms);
      if (m.stat().clients() == clients) return true;
    }
    return false;
  }

  // Stops the daemon as its supervisor would; its exit status.
  int stop() {
    daemon_.send_signal(SIGTERM);
    return daemon_.wait_exit();
  }

 private:
  temp_dir_t dir_;
  ov::MailQuarantineConfig config_;
  daemon_process_t daemon_;
};
#endif

}  // namespace mq::test
