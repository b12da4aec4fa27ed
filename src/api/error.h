#pragma once

#include <stdexcept>
#include <string>

#include "error.pb.h"

// What a call on the daemon's sockets throws.
namespace mq::api {

// Trouble reaching or talking to the daemon: socket missing, refused,
// closed, timed out, or an answer that makes no sense.
class connection_error_t : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An error answer: its ov::ErrorCode and its text.
class daemon_error_t : public std::runtime_error {
 public:
  daemon_error_t(int code, const std::string& text) : std::runtime_error(text), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// The error answer for an id the daemon does not hold.
class entry_not_found_t : public daemon_error_t {
 public:
  using daemon_error_t::daemon_error_t;
};

// Whether an error answer says that the entry does not exist.
bool is_entry_not_found(const ov::Error& error);

// Throws the typed exception of an error answer.
[[noreturn]] void throw_error(const ov::Error& error);

}  // namespace mq::api
