#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace mq::web {

// What failed logins may cost. A global budget of failures, refilled at a
// steady rate, bounds how many answers wait out their delay at once
// whoever and wherever the guessers are (behind a proxy every client has
// one address); a user name that fails `per_user` times in a row is locked
// for `lockout`. Used on the loop only.
class login_guard_t {
 public:
  using clock_t = std::chrono::steady_clock;

  struct settings_t {
    std::size_t budget = 20;                 // failures at once
    std::chrono::milliseconds refill{3000};  // one more failure allowed each
    unsigned per_user = 5;                   // failures in a row before a lock-out
    std::chrono::seconds lockout{900};
    std::size_t max_names = 4096;  // names remembered, guessed ones included
  };

  explicit login_guard_t(settings_t settings) : settings_(settings), tokens_(static_cast<double>(settings.budget)) {}

  // How long until a login for `user` may be tried: zero when it may now.
  std::chrono::seconds wait(const std::string& user, clock_t::time_point now);
  // A failure for `user`; true when it locked the name out.
  bool failed(const std::string& user, clock_t::time_point now);
  void succeeded(const std::string& user) { names_.erase(user); }

 private:
  struct name_t {
    unsigned failures = 0;
    clock_t::time_point locked_until, last;
  };
  void refill(clock_t::time_point now);

  settings_t settings_;
  double tokens_;
  clock_t::time_point filled_{};
  std::map<std::string, name_t> names_;
};

}  // namespace mq::web
