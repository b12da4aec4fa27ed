#include "util/resolved_user.h"

#include <pwd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace mq::util {

resolved_user_t::resolved_user_t(const ov::LocalUser& user) {
  if (user.has_uid()) {
    uid_ = static_cast<std::uint32_t>(user.uid());
    return;
  }
  errno = 0;
  const passwd* pw = ::getpwnam(user.name().c_str());
  if (!pw) {
    const int e = errno;
    throw std::runtime_error("getpwnam(\"" + user.name() + "\"): " + (e ? std::strerror(e) : "No such user"));
  }
  uid_ = pw->pw_uid;
  gid_ = pw->pw_gid;
  gid_known_ = true;
}

std::uint32_t resolved_user_t::gid() {
  if (gid_known_) return gid_;
  errno = 0;
  const passwd* pw = ::getpwuid(uid_);
  if (!pw) {
    const int e = errno;
    throw std::runtime_error("getpwuid(" + std::to_string(uid_) +
                             "): " + (e ? std::strerror(e) : "No user with such uid"));
  }
  gid_ = pw->pw_gid;
  gid_known_ = true;
  return gid_;
}

std::string resolved_user_t::text() const {
  std::string result = std::to_string(uid_);
  if (gid_known_) result += ":" + std::to_string(gid_);
  return result;
}

}  // namespace mq::util
