#pragma once

#include <cstdint>
#include <string>

#include "local_user.pb.h"

namespace mq::util {

// A user id from the configuration, with its primary group looked up only
// when someone needs it.
class resolved_user_t {
 public:
  // A given uid is taken as it is (cut to 32 bits) and the name ignored;
  // otherwise the name is looked up. Throws std::runtime_error
  // "getpwnam(\"name\"): reason" when it is unknown.
  explicit resolved_user_t(const ov::LocalUser& user);

  std::uint32_t uid() const { return uid_; }
  bool gid_known() const { return gid_known_; }
  // Looks the group up on first use; throws std::runtime_error
  // "getpwuid(uid): reason" when the uid has no passwd entry.
  std::uint32_t gid();

  // "uid", or "uid:gid" once the group is known.
  std::string text() const;

 private:
  std::uint32_t uid_ = 0;
  bool gid_known_ = false;
  std::uint32_t gid_ = 0;
};

}  // namespace mq::util
