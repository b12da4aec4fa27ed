#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace mq::web {

struct session_t {
  std::string user;
  std::string csrf;  // the token every POST of the session carries
  std::chrono::steady_clock::time_point expires;
};

// Sessions of logged-in users, by the random token of their cookie. They
// end `lifetime` after the login; the oldest goes when there are too many.
// Used on the loop only.
class sessions_t {
 public:
  explicit sessions_t(std::chrono::seconds lifetime, std::size_t max_sessions = 10000)
      : lifetime_(lifetime), max_(max_sessions) {}

  // A new session; its token.
  std::string open(const std::string& user);
  // The session of `token` while it has not expired.
  const session_t* find(const std::string& token);
  void close(const std::string& token) { sessions_.erase(token); }

  std::chrono::seconds lifetime() const { return lifetime_; }
  std::size_t size() const { return sessions_.size(); }

  // 32 random bytes in hex.
  static std::string random_token();
  // Whether `given` is the token of `session`, in time that does not tell
  // how much of it was right.
  static bool token_matches(const session_t& session, const std::string& given);

 private:
  std::chrono::seconds lifetime_;
  std::size_t max_;
  std::map<std::string, session_t> sessions_;
};

}  // namespace mq::web
