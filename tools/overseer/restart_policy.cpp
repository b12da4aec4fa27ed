#include "restart_policy.h"

#include <algorithm>

namespace mq::overseer_tool {

std::optional<std::chrono::milliseconds> restart_policy_t::failed(clock_t::time_point now) {
  if (now - started_ >= limits_.healthy_after) {
    failures_ = 0;
    delay_ = limits_.first_delay;
  }
  if (++failures_ >= limits_.give_up_after) return std::nullopt;
  const auto delay = delay_;
  delay_ = std::min(delay_ * 2, limits_.max_delay);
  return delay;
}

}  // namespace mq::overseer_tool
