#pragma once

// Test doubles for the log writer: a recording target, stderr capture and
// environment changes that are undone at the end of a test.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "ov/log.h"

namespace mq::test {

struct recorded_line_t {
  std::int32_t level;
  std::string text;
  bool operator==(const recorded_line_t& o) const { return level == o.level && text == o.text; }
};

inline std::ostream& operator<<(std::ostream& os, const recorded_line_t& l) {
  return os << "(" << l.level << ", \"" << l.text << "\")";
}

// Records every call; `events` may be shared between targets to see their order.
class recording_log_t : public ov::cf_log_t {
 public:
  explicit recording_log_t(std::string name = "target", ov::cf_line_hook_t hook = {},
                           std::shared_ptr<std::vector<std::string>> events = nullptr)
      : ov::cf_log_t(std::move(hook)),
        name_(std::move(name)),
        events_(events ? std::move(events) : std::make_shared<std::vector<std::string>>()) {}
  ~recording_log_t() override { events_->push_back("destroy " + name_); }
  void open() override { events_->push_back("open " + name_); }
  void write(std::int32_t level, const std::string& text) override { lines.push_back({level, text}); }
  void out_of_memory() override { events_->push_back("out_of_memory " + name_); }

  std::vector<recorded_line_t> lines;
  const std::vector<std::string>& events() const { return *events_; }

 private:
  std::string name_;
  std::shared_ptr<std::vector<std::string>> events_;
};

// Sets or removes an environment variable until the end of the scope.
class env_var_t {
 public:
  env_var_t(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) {
      ::setenv(name_.c_str(), value, 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ~env_var_t() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  env_var_t(const env_var_t&) = delete;
  env_var_t& operator=(const env_var_t&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Sends descriptor 2 to a temporary file until take() or the end of the scope.
class stderr_capture_t {
 public:
  stderr_capture_t() {
    char pattern[] = "/tmp/mq-stderr-XXXXXX";
    file_ = ::mkstemp(pattern);
    if (file_ < 0) throw std::runtime_error("mkstemp failed");
    ::unlink(pattern);
    std::fflush(stderr);
    saved_ = ::dup(2);
    ::dup2(file_, 2);
  }
  ~stderr_capture_t() {
    restore();
    ::close(file_);
  }
  stderr_capture_t(const stderr_capture_t&) = delete;
  stderr_capture_t& operator=(const stderr_capture_t&) = delete;

  // Whether descriptor 2 is still open, checked before it is given back.
  bool stderr_open() const { return ::fcntl(2, F_GETFD) != -1; }

  std::string take() {
    restore();
    std::string text;
    char buffer[4096];
    ssize_t n;
    off_t offset = 0;
    while ((n = ::pread(file_, buffer, sizeof(buffer), offset)) > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
      offset += n;
    }
    return text;
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      ::dup2(saved_, 2);
      ::close(saved_);
      saved_ = -1;
    }
  }
  int file_ = -1;
  int saved_ = -1;
};

// Non-blocking read of whatever a pipe holds now.
inline std::string drain(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

inline std::string read_file(const std::string& path) {
  std::string text;
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

}  // namespace mq::test
