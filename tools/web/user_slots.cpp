#include "web/user_slots.h"

namespace mq::web {

std::shared_ptr<void> user_slots_t::take(const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (all_ >= total_) return nullptr;
  std::size_t& held = held_[user];
  if (held >= per_user_) return nullptr;
  ++held;
  ++all_;
  return std::shared_ptr<void>(this, [this, user](void*) {
    std::lock_guard<std::mutex> lock(mutex_);
    --all_;
    if (const auto it = held_.find(user); it != held_.end() && --it->second == 0) held_.erase(it);
  });
}

std::size_t user_slots_t::held(const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = held_.find(user);
  return it == held_.end() ? 0 : it->second;
}

}  // namespace mq::web
