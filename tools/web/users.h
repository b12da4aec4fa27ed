#pragma once

#include <ctime>
#include <map>
#include <optional>
#include <string>

#include <sys/types.h>

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
  // `fields`, when given, gets the matching line's hash fields.
  bool check(const std::string& name, const std::string& password, std::string* fields = nullptr) const;

  // The hash fields of `name` as the file has them now, read again only
  // when the file changed (a cheap stat otherwise); nullopt when the name
  // is not there or the file cannot be read. A session compares them with
  // those of its login, so a new password or a removal ends it at once.
  std::optional<std::string> current(const std::string& name);

  // Adds `name` or gives it a new password. The file is replaced whole
  // (written beside it, then renamed), keeping its owner, group and mode; a
  // new file is made 0640. Throws std::invalid_argument for a name that is
  // empty or has ':' or a control character, std::runtime_error when the
  // file cannot be written.
  void set(const std::string& name, const std::string& password) const;
  // Takes `name` out; false when it was not there.
  bool remove(const std::string& name) const;

  // One line of the file for `name`, with a fresh salt.
  static std::string entry(const std::string& name, const std::string& password);
  // Whether `password` matches one line's hash fields (after "NAME:").
  static bool matches(const std::string& fields, const std::string& password);

 private:
  // Writes `data` as the whole file, as set() describes.
  void replace(const std::string& data) const;

  std::string path_;
  // current()'s copy of the file and what it was read from.
  std::map<std::string, std::string> known_;
  struct stamp_t {
    ino_t inode = 0;
    off_t size = -1;
    timespec changed{};
  } stamp_;
};

}  // namespace mq::web
