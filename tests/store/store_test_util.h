#pragma once

// Helpers of the message directory and store tests.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/filesystem/operations.hpp>

#include "ov/logger.h"
#include "store/shared_file.h"
#include "support/daemon_process.h"

namespace mq::store::test {

// The shared temporary directory, with paths as Boost.Filesystem paths.
class temp_dir_t {
 public:
  const boost::filesystem::path& path() const { return path_; }
  boost::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  mq::test::temp_dir_t dir_{"mq-store-test"};
  boost::filesystem::path path_{dir_.path()};
};

inline void write_file(const boost::filesystem::path& p, const std::string& content) {
  int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + p.string());
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n <= 0) {
      ::close(fd);
      throw std::runtime_error("cannot write " + p.string());
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

inline std::string read_fd(int fd) {
  std::string out;
  char buf[65536];
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, offset);
    if (n < 0) throw std::runtime_error("read failed");
    if (n == 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
    offset += n;
  }
}

inline std::string read_file(const boost::filesystem::path& p) {
  int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + p.string());
  std::string out = read_fd(fd);
  ::close(fd);
  return out;
}

// A source as the Sorter hands it over: a file with `content`, opened for
// reading, with a stated size that may differ from the real one.
inline shared_file_t make_source(const boost::filesystem::path& p, const std::string& content,
                                 std::uint64_t stated_size) {
  write_file(p, content);
  int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + p.string());
  return shared_file_t(fd, stated_size);
}

inline shared_file_t make_source(const boost::filesystem::path& p, const std::string& content) {
  return make_source(p, content, content.size());
}

// Bytes that differ from position to position, so that a misplaced chunk
// shows.
inline std::string pattern(std::size_t size, unsigned seed = 1) {
  std::string s(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// Whether `name` fits a file-name model: each "%" stands for one lower-case
// hex digit, everything else for itself.
inline bool fits_model(const std::string& name, const std::string& model) {
  if (name.size() != model.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (model[i] == '%') {
      const char c = name[i];
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    } else if (name[i] != model[i]) {
      return false;
    }
  }
  return true;
}

// Runs the event loop until `done` holds; fails the test when nothing
// makes it hold within a generous time.
inline bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
                      std::chrono::seconds limit = std::chrono::seconds(60)) {
  auto guard = boost::asio::make_work_guard(io);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << "event did not come in time";
      return false;
    }
    io.restart();
    io.run_one_for(std::chrono::milliseconds(200));
  }
  return true;
}

// Collects the log lines written while it lives.
class log_capture_t {
 public:
  struct line_t {
    std::int32_t level;
    std::string text;
  };

  log_capture_t() {
    old_level_ = ov::util::logger::set_log_level(ov::util::logger::debug);
    old_ = ov::util::logger::set_log_function([this](std::int32_t level, const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({level, text});
    });
  }
  ~log_capture_t() {
    ov::util::logger::set_log_function(old_);
    ov::util::logger::set_log_level(old_level_);
  }

  std::vector<line_t> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  // Index of the first line equal to `text` at `level`, or -1.
  int find(std::int32_t level, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i].level == level && lines_[i].text == text) return static_cast<int>(i);
    }
    return -1;
  }

  std::size_t count_prefix(std::int32_t level, const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& l : lines_) {
      if (l.level == level && l.text.compare(0, prefix.size(), prefix) == 0) ++n;
    }
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<line_t> lines_;
  ov::util::logger::log_function_t old_;
  std::int32_t old_level_ = 0;
};

}  // namespace mq::store::test
