#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace mq::web {

// Places for the selections and actions that run at once: so many for
// each user, so many for everyone. A user who asks for more is refused, so
// no user holds every selection thread, and a selection never waits for
// one. Thread-safe; the places must be given back before this object goes.
class user_slots_t {
 public:
  user_slots_t(std::size_t per_user, std::size_t total) : per_user_(per_user), total_(total) {}

  // A place for `user`, given back when its last copy goes; null when the
  // user holds all of theirs or everyone together holds `total`.
  std::shared_ptr<void> take(const std::string& user);
  // The places `user` holds now.
  std::size_t held(const std::string& user);

  std::size_t per_user() const { return per_user_; }

 private:
  std::mutex mutex_;
  std::map<std::string, std::size_t> held_;
  std::size_t all_ = 0;
  const std::size_t per_user_, total_;
};

}  // namespace mq::web
