#include "web/login_guard.h"

#include <algorithm>
#include <cmath>

namespace mq::web {

namespace {

std::chrono::seconds whole_seconds(login_guard_t::clock_t::duration d) {
  return std::max(std::chrono::seconds(1), std::chrono::ceil<std::chrono::seconds>(d));
}

}  // namespace

void login_guard_t::refill(clock_t::time_point now) {
  if (filled_ == clock_t::time_point{} || now < filled_) filled_ = now;
  const double gained = std::chrono::duration<double>(now - filled_) / settings_.refill;
  tokens_ = std::min(static_cast<double>(settings_.budget), tokens_ + gained);
  filled_ = now;
}

std::chrono::seconds login_guard_t::wait(const std::string& user, clock_t::time_point now) {
  if (const auto it = names_.find(user); it != names_.end() && it->second.locked_until > now)
    return whole_seconds(it->second.locked_until - now);
  refill(now);
  if (tokens_ >= 1) return std::chrono::seconds(0);
  return whole_seconds(std::chrono::duration_cast<clock_t::duration>(settings_.refill * (1 - tokens_)));
}

bool login_guard_t::failed(const std::string& user, clock_t::time_point now) {
  refill(now);
  tokens_ = std::max(0.0, tokens_ - 1);
  auto it = names_.find(user);
  if (it == names_.end()) {
    // Names are the guesser's choice: the one unused longest makes room,
    // a locked one last.
    const auto rank = [now](const auto& n) { return std::make_pair(n.second.locked_until > now, n.second.last); };
    if (names_.size() >= settings_.max_names)
      names_.erase(std::min_element(names_.begin(), names_.end(),
                                    [&](const auto& a, const auto& b) { return rank(a) < rank(b); }));
    it = names_.emplace(user, name_t{}).first;
  }
  auto& n = it->second;
  n.last = now;
  if (++n.failures < settings_.per_user) return false;
  n.failures = 0;
  n.locked_until = now + settings_.lockout;
  return true;
}

}  // namespace mq::web
