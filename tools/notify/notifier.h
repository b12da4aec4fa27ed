#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

namespace mq::notify {

// What systemd hears of a service of Type=notify: readiness, reloads, the
// stop, and a watchdog fed from the event loop, so that a loop that hangs
// stops feeding it. Without NOTIFY_SOCKET (run by hand, in tests) it sends
// nothing and keeps no timer.
class notifier_t {
 public:
  // `warn` hears of a message that could not be sent, once.
  notifier_t(boost::asio::io_context& io, std::function<void(const std::string&)> warn);

  bool enabled() const { return enabled_; }

  void ready(const std::string& status);
  // Between this and the next ready() systemd shows the unit as reloading.
  void reloading(const std::string& status);
  // Once; also ends the watchdog's timer, so that the loop can run out of
  // work.
  void stopping();

  // Variables that only this process may use: a child must not speak for it.
  static bool is_own_variable(const std::string& name);

 private:
  void send(const std::string& state);
  void feed();

  boost::asio::steady_timer timer_;
  std::function<void(const std::string&)> warn_;
  std::chrono::microseconds interval_{0};
  bool enabled_ = false;
  bool warned_ = false;
  bool stopping_ = false;
};

}  // namespace mq::notify
