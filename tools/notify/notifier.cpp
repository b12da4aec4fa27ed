#include "notify/notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace mq::notify {

notifier_t::notifier_t(boost::asio::io_context& io, std::function<void(const std::string&)> warn)
    : timer_(io), warn_(std::move(warn)) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  enabled_ = socket && *socket;
  if (!enabled_) return;
  std::uint64_t usec = 0;
  // Half the interval systemd allows, as it asks: one late turn of the loop
  // is not yet a hang.
  if (::sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    interval_ = std::chrono::microseconds(usec / 2);
    feed();
  }
}

void notifier_t::ready(const std::string& status) { send("READY=1\nSTATUS=" + status); }

void notifier_t::reloading(const std::string& status) {
  // The time lets a systemd that waits for reloads tell this one from an
  // older one.
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const auto usec = static_cast<std::uint64_t>(now.tv_sec) * 1000000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
  send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec) + "\nSTATUS=" + status);
}

void notifier_t::stopping() {
  if (stopping_) return;
  stopping_ = true;
  send("STOPPING=1");
  timer_.cancel();
  interval_ = std::chrono::microseconds(0);
}

bool notifier_t::is_own_variable(const std::string& name) {
  return name == "NOTIFY_SOCKET" || name == "WATCHDOG_USEC" || name == "WATCHDOG_PID";
}

void notifier_t::send(const std::string& state) {
  if (!enabled_) return;
  const int r = ::sd_notify(0, state.c_str());
  if (r > 0 || warned_) return;
  warned_ = true;
  if (warn_)
    warn_("cannot tell systemd " + state.substr(0, state.find('\n')) + ": " +
          (r < 0 ? std::strerror(-r) : "no NOTIFY_SOCKET"));
}

void notifier_t::feed() {
  send("WATCHDOG=1");
  timer_.expires_after(interval_);
  timer_.async_wait([this](const boost::system::error_code& error) {
    if (!error && interval_.count() > 0) feed();
  });
}

}  // namespace mq::notify
