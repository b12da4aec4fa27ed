#pragma once

#include <chrono>
#include <optional>

namespace mq::overseer_tool {

struct restart_limits_t {
  std::chrono::milliseconds first_delay{1000};
  std::chrono::milliseconds max_delay{30000};
  // A daemon that ran this long counts as healthy: the delays start over.
  std::chrono::milliseconds healthy_after{60000};
  // Failures in a row, none after a healthy run, before giving up.
  unsigned give_up_after = 10;
};

// When to start a daemon again that died: at growing delays, and not at
// all after too many failures in a row.
class restart_policy_t {
 public:
  using clock_t = std::chrono::steady_clock;

  explicit restart_policy_t(restart_limits_t limits) : limits_(limits), delay_(limits.first_delay) {}

  void started(clock_t::time_point now) { started_ = now; }
  // The delay before the next start, or nullopt to give up.
  std::optional<std::chrono::milliseconds> failed(clock_t::time_point now);
  unsigned failures() const { return failures_; }
  const restart_limits_t& limits() const { return limits_; }

 private:
  restart_limits_t limits_;
  std::chrono::milliseconds delay_;
  clock_t::time_point started_{};
  unsigned failures_ = 0;
};

}  // namespace mq::overseer_tool
