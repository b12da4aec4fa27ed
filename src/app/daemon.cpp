#include "app/daemon.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include "client/server.h"
#include "mail_quarantine_config.pb.h"
#include "ov/error.h"
#include "ov/log.h"
#include "ov/logger.h"
#include "overseer/channel.h"
#include "service/appstat_reporter.h"
#include "service/drop_privileges.h"
#include "service/logger.h"
#include "service/store_owner.h"
#include "sorter/server.h"
#include "store/sqlite.h"
#include "util/callback_wrapper.h"
#include "util/loop_standby.h"
#include "util/service.h"

namespace mq::app {

namespace {

constexpr std::int32_t permission_denied = ov::EC_PERMISSION_DENIED;

// How long a termination waits for the requests in progress to be answered.
constexpr std::chrono::seconds drain_limit{10};

// `held`: the loop's thread is held in an open and may wake at any time;
// no exit handler nor static destructor runs beside it (a leak checker's
// would wait for it), so the log is flushed here.
[[noreturn]] void exit_with_status(std::int32_t status, bool held = false) {
  if (!ov::cf_log_is_set()) {
    ov::cf_log_threshold = ov::util::logger::notice;
    ov::cf_log_set(ov::cf_make_default_log());
  }
  if (ov::cf_log_threshold <= ov::util::logger::notice) {
    ov::cf_log_write(ov::util::logger::notice,
                     "Exit with status " + std::to_string(status) + " (" + ov::error_code_name(status) + ")");
  }
  if (held) {
    ov::cf_log_flush();
    std::fflush(nullptr);
    std::_Exit(status);
  }
  std::exit(status);
}

// A change that needs root again, seen by a process that gave it up: the
// supervisor starts a fresh process.
bool needs_restart(const std::exception& e) { return ::getuid() != 0 && ov::error_code_of(e) == permission_denied; }

// Every connection may hold about a hundred descriptors (its requests in
// progress and its queued responses): take all the kernel allows.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    OV_LOG(warning, "Cannot read the descriptor limit: " << std::strerror(errno));
    return;
  }
  const rlim_t soft = limit.rlim_cur;
  if (soft < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      OV_LOG(warning, "Cannot raise the descriptor limit: " << std::strerror(errno));
      limit.rlim_cur = soft;
    }
  }
  OV_LOG(notice, "Descriptor limit: soft " << limit.rlim_cur << " (was " << soft << "), hard " << limit.rlim_max);
}

class app_t {
 public:
  app_t(boost::asio::io_context& io, int monitor_fd);

  // Steps from the first request to the end of the process.
  [[noreturn]] void run();

 private:
  // Ends the process: with the loop's failure, or as asked when none;
  // `held` as for exit_with_status.
  [[noreturn]] void end(const std::exception_ptr& failure, bool held = false);
  // The services in list order. They are created in another order so that
  // the servers can be handed the store and the reporter.
  void make_services();
  void get_config();
  void apply_config();
  void stop();
  // Stops accepting and reading, then stops once every request in progress
  // is answered or the limit has passed.
  void drain();
  void wait_hangup();
  void wait_termination();

  boost::asio::io_context& io_;
  ov::MailQuarantineConfig config_;
  std::uint32_t revision_ = 0;
  std::unique_ptr<mq::overseer::channel_t> channel_;
  // Configured in this order, destroyed in reverse.
  std::vector<std::unique_ptr<mq::util::service_t>> services_;
  // Inside services_, while they are there.
  mq::service::store_owner_t* store_ = nullptr;
  std::vector<mq::net::server_t*> servers_;
  std::int32_t exit_status_ = 0;
  boost::asio::signal_set hangup_signals_;
  mq::util::callback_wrapper_t hangup_guard_;
  boost::asio::signal_set termination_signals_;
  mq::util::callback_wrapper_t termination_guard_;
  bool draining_ = false;
  boost::asio::steady_timer drain_timer_;
};

app_t::app_t(boost::asio::io_context& io, int monitor_fd)
    : io_(io), hangup_signals_(io), termination_signals_(io), drain_timer_(io) {
  using protocol_t = boost::asio::local::stream_protocol;
  protocol_t::socket socket(io_);
  boost::system::error_code error;
  socket.assign(protocol_t(), monitor_fd, error);
  if (error) throw boost::system::system_error(error, "assign");
  channel_ = std::make_unique<mq::overseer::channel_t>(std::move(socket));
  make_services();

  if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) throw std::system_error(errno, std::system_category(), "signal");
  hangup_signals_.add(SIGHUP, error);
  if (error) throw boost::system::system_error(error, "signal");
  // Blocked by main() until now; one that came meanwhile is handled.
  sigset_t hangup;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  if (const int e = ::pthread_sigmask(SIG_UNBLOCK, &hangup, nullptr))
    throw std::system_error(e, std::system_category(), "pthread_sigmask");
  termination_signals_.add(SIGTERM, error);
  if (error) throw boost::system::system_error(error, "signal");
  termination_signals_.add(SIGINT, error);
  if (error) throw boost::system::system_error(error, "signal");
}

void app_t::make_services() {
  auto reporter = std::make_unique<mq::service::appstat_reporter_t>(io_, channel_.get());
  auto store = std::make_unique<mq::service::store_owner_t>(io_, &config_);
  auto client = std::make_unique<mq::client::server_t>(io_, &config_, &store->store(), reporter.get());
  auto sorter = std::make_unique<mq::sorter::server_t>(io_, &config_, &store->store(), reporter.get());
  auto logger = std::make_unique<mq::service::logger_t>(&config_);
  auto drop_privileges = std::make_unique<mq::service::drop_privileges_t>(&config_);
  store_ = store.get();
  servers_ = {client.get(), sorter.get()};
  services_.reserve(6);
  services_.push_back(std::move(logger));
  services_.push_back(std::move(reporter));
  services_.push_back(std::move(store));
  services_.push_back(std::move(client));
  services_.push_back(std::move(sorter));
  services_.push_back(std::move(drop_privileges));
}

void app_t::run() {
  // The loop's thread may be held in an open when the loop ends: its
  // standby then ends the process as the loop's thread would.
  mq::util::loop_standby_t::set_held_end([this](const std::exception_ptr& failure) { end(failure, true); });
  std::exception_ptr failure;
  try {
    wait_hangup();
    wait_termination();
    get_config();
    io_.run();
  } catch (...) {
    failure = std::current_exception();
  }
  end(failure);
}

void app_t::end(const std::exception_ptr& failure, bool held) {
  if (!failure) exit_with_status(exit_status_, held);
  try {
    std::rethrow_exception(failure);
  } catch (ov::ErrorCode code) {
    stop();
    exit_with_status(code, held);
  } catch (const mq::store::sqlite::outcome_unknown_t& e) {
    // Neither answered nor undone: the restart's scan finds what was stored.
    OV_LOG(error, ov::exception_text(e));
    stop();
    exit_with_status(ov::EC_UNEXPECTED_ERROR, held);
  } catch (const std::exception& e) {
    if (needs_restart(e)) {
      OV_LOG(debug, ov::exception_text(e));
      OV_LOG(notice, "Will restart for config changes to take effect");
      stop();
      exit_with_status(0, held);
    }
    const ov::ErrorCode code = ov::error_code_of(e);
    OV_LOG(error, ov::exception_text(e));
    stop();
    exit_with_status(code, held);
  }
}

void app_t::get_config() {
  channel_->request_config([this](ov::MailQuarantineConfig config, std::uint32_t revision) {
    config_ = std::move(config);
    revision_ = revision;
    apply_config();
  });
}

void app_t::apply_config() {
  // A configuration that arrives while terminating must not listen again.
  if (draining_) return;
  try {
    for (auto& service : services_) service->configure();
  } catch (const mq::util::restart_required_t& e) {
    OV_LOG(notice, ov::exception_text(e) << ", will restart for config changes to take effect");
    throw ov::EC_OK;
  } catch (const std::exception& e) {
    // Handled where the event loop ends.
    if (needs_restart(e)) throw;
    OV_LOG(error, "Cannot apply configuration (revision " << revision_ << "): " << ov::exception_text(e));
    throw ov::EC_BAD_CONFIG;
  }
  OV_LOG(notice, "MailQuarantine " << MQ_VERSION << ": Ready for service");
  channel_->notify_info(revision_);
}

void app_t::wait_hangup() {
  hangup_signals_.async_wait(hangup_guard_.wrap([this](const boost::system::error_code& error, int) {
    if (error) throw boost::system::system_error(error, "signal");
    OV_LOG(notice, "SIGHUP received, config will be ordered from Overseer");
    get_config();
    wait_hangup();
  }));
}

void app_t::wait_termination() {
  termination_signals_.async_wait(termination_guard_.wrap([this](const boost::system::error_code& error, int) {
    if (error) throw boost::system::system_error(error, "signal");
    OV_LOG(notice, "Termination signal received, exiting...");
    exit_status_ = ov::EC_APP_TERMINATED;
    drain();
  }));
}

void app_t::drain() {
  draining_ = true;
  hangup_signals_.cancel();
  hangup_guard_.cancel();
  auto pending = std::make_shared<std::size_t>(0);
  for (auto* server : servers_) {
    ++*pending;
    server->drain(termination_guard_.wrap([this, pending] {
      if (--*pending == 0) stop();
    }));
  }
  drain_timer_.expires_after(drain_limit);
  drain_timer_.async_wait(termination_guard_.wrap([this](const boost::system::error_code& error) {
    if (error) return;
    OV_LOG(warning, "Requests still in progress after " << drain_limit.count()
                                                        << " seconds: closing their connections unanswered");
    // Nothing queued starts; what is running ends, and its answer (on the
    // loop before the handler below) is written before its connection
    // closes. A peer that does not read gets a second.
    if (store_) store_->store().halt();
    boost::asio::post(io_, termination_guard_.wrap([this] {
      for (auto* server : servers_) server->abandon();
      drain_timer_.expires_after(std::chrono::seconds(1));
      drain_timer_.async_wait(termination_guard_.wrap([this](const boost::system::error_code& error) {
        if (!error) stop();
      }));
    }));
  }));
}

void app_t::stop() {
  hangup_signals_.cancel();
  hangup_guard_.cancel();
  termination_signals_.cancel();
  termination_guard_.cancel();
  drain_timer_.cancel();
  // The store first: its running operation ends while its connection is
  // still open, and nothing queued is stored after the connection closes.
  if (store_) store_->store().halt();
  store_ = nullptr;
  servers_.clear();
  for (auto it = services_.rbegin(); it != services_.rend(); ++it) it->reset();
  channel_.reset();
  // The loop ends here even while its thread is held in an open.
  io_.stop();
}

}  // namespace

void run_daemon(const std::string& monitor) {
  boost::asio::io_context io(1);
  // A bad value escapes to the last-resort handler.
  const int fd = boost::lexical_cast<int>(monitor);
  raise_descriptor_limit();
  app_t app(io, fd);
  app.run();
}

}  // namespace mq::app
