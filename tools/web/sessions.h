#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace mq::web {

struct session_t {
  std::string user;
  std::string csrf;   // the token every POST of the session carries
  std::string stamp;  // the user's password hash at the login
  std::chrono::steady_clock::time_point expires;
};

// Sessions of logged-in users, by the random token of their cookie. They
// end `lifetime` after the login; the oldest goes when there are too many.
// Used on the loop only.
class sessions_t {
 public:
  explicit sessions_t(std::chrono::seconds lifetime, std::size_t max_sessions = 10000)
      : lifetime_(lifetime), max_(max_sessions), key_(random_token()) {}

  // A new session; its token.
  std::string open(const std::string& user, const std::string& stamp = "");
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

  // The login form's token for the browser's pre-login cookie `cookie`: a
  // keyed hash, so a page elsewhere can neither read nor make one that
  // goes with the cookie the browser holds.
  std::string login_token(const std::string& cookie) const;
  bool login_token_matches(const std::string& cookie, const std::string& given) const;

 private:
  std::chrono::seconds lifetime_;
  std::size_t max_;
  std::string key_;  // for login_token(), new at each start
  std::map<std::string, session_t> sessions_;
};

}  // namespace mq::web
