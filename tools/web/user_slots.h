#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace mq::web {

// Places for each user's selections at once. A user who asks for more is
// refused, so the page workers can never all be held by one user.
// Thread-safe; the places must be given back before this object goes.
class user_slots_t {
 public:
  explicit user_slots_t(std::size_t per_user) : per_user_(per_user) {}

  // A place for `user`, given back when its last copy goes; null when the
  // user holds all of theirs.
  std::shared_ptr<void> take(const std::string& user);

  std::size_t per_user() const { return per_user_; }

 private:
  std::mutex mutex_;
  std::map<std::string, std::size_t> held_;
  const std::size_t per_user_;
};

}  // namespace mq::web
