#pragma once

#include <string>

namespace mq::web {

// The users of the web view: a file of lines "NAME:scrypt:N:r:p:SALT:HASH"
// (salt and hash in hex), kept readable by root and the package's group
// only. It is read again at each login, so that an entry added or removed
// takes effect at once.
class users_t {
 public:
  explicit users_t(std::string path) : path_(std::move(path)) {}

  // Whether `name` is in the file with this password. Takes the time of one
  // hash whether the user exists or not. Throws std::runtime_error when the
  // file cannot be read.
  bool check(const std::string& name, const std::string& password) const;

  // Adds `name` or gives it a new password. The file is replaced whole
  // (written beside it, then renamed), keeping its owner, group and mode; a
  // new file is made 0640. Throws std::invalid_argument for a name that is
  // empty or has ':' or a control character, std::runtime_error when the
  // file cannot be written.
  void set(const std::string& name, const std::string& password) const;

  // One line of the file for `name`, with a fresh salt.
  static std::string entry(const std::string& name, const std::string& password);
  // Whether `password` matches one line's hash fields (after "NAME:").
  static bool matches(const std::string& fields, const std::string& password);

 private:
  std::string path_;
};

}  // namespace mq::web
