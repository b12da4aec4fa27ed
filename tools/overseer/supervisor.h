#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "mail_quarantine_config.pb.h"
#include "metrics/http_server.h"
#include "metrics/sample.h"
#include "metrics/shared_probe.h"
#include "net/local_ipc_link.h"
#include "notify/notifier.h"
#include "restart_policy.h"

namespace mq::overseer_tool {

struct options_t {
  std::string daemon;
  std::optional<std::string> config_file;
  std::string state_dir;
  std::optional<std::string> metrics_address;
  restart_limits_t restart;
  bool verbose = false;
};

// Starts the daemon on a monitor socket pair, answers its configuration
// requests, passes signals on, restarts it (at once when it asks, after a
// growing delay when it dies) and serves the metrics.
class supervisor_t : private net::local_ipc_link_t::delegate_t {
 public:
  supervisor_t(options_t options, ov::MailQuarantineConfig config);
  ~supervisor_t();

  // Until the daemon has ended for good; the exit status of the supervisor.
  int run();

 private:
  void start_daemon();
  void wait_signal();
  void on_signal(int signal);
  void reap();
  // A failure: restart after the policy's delay, or give up.
  void restart_later(const std::string& what, const char* reason);
  void count_restart(const char* reason);
  void finish(int result);
  void serve_metrics(metrics::http_server_t::respond_t respond);
  void reloading(const std::string& status);
  void announced(std::uint32_t revision);

  void on_written() override {}
  void on_message(const std::uint8_t* data, std::uint32_t size, util::unique_fd_t fd) override;
  void on_error(std::exception_ptr error) override;

  options_t options_;
  ov::MailQuarantineConfig config_;
  boost::asio::io_context io_;
  boost::asio::signal_set signals_;
  boost::asio::steady_timer restart_timer_;
  restart_policy_t policy_;
  metrics::shared_probe_t probe_;
  notify::notifier_t notify_;
  std::unique_ptr<net::local_ipc_link_t> link_;
  std::unique_ptr<metrics::http_server_t> http_;
  metrics::supervisor_sample_t sample_;
  pid_t pid_ = -1;
  std::uint32_t revision_ = 0;
  bool announced_ = false;
  bool waiting_ = false;  // for the restart timer
  bool stopping_ = false;
  // A SIGHUP came before the daemon announced its configuration.
  bool reload_pending_ = false;
  // systemd hears READY=1 once the daemon announces this revision or a
  // later one: the first at start, the first handed out after a reload.
  std::optional<std::uint32_t> ready_at_ = 1;
  bool ready_sent_ = false;
  bool done_ = false;
  int result_ = 0;
  std::optional<std::uint32_t> last_info_;
  std::optional<std::uint32_t> last_clients_;
};

}  // namespace mq::overseer_tool
