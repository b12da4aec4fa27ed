#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem/path.hpp>

#include "ov/logger.h"

namespace mq::test {

// Every wait limit goes through this: `base` times MQ_TEST_TIME_SCALE (a
// number, default 1), so that slow builds stretch them all at once.
std::chrono::milliseconds wait_limit(std::chrono::milliseconds base = std::chrono::seconds(10));

// Runs `io` until `done()` holds; false when `limit` passes first.
bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
               std::chrono::milliseconds limit = wait_limit());
// Looks every 10 ms until `done()` holds; false when `limit` passes first.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = wait_limit());

[[noreturn]] void throw_errno(const std::string& what);

class temp_dir_t {
 public:
  temp_dir_t();
  ~temp_dir_t();
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;

  const boost::filesystem::path& path() const { return path_; }
  boost::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  boost::filesystem::path path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
// From offset 0; the offset stays.
std::string read_fd(int fd);
// What follows the first `mark` in `text`; empty without one.
std::string after(const std::string& text, const std::string& mark);
// Differs from position to position and seed to seed: a misplaced chunk shows.
std::string pattern(std::size_t size, unsigned seed = 1);

// nullptr removes the variable for the scope.
class env_var_t {
 public:
  env_var_t(const char* name, const char* value);
  ~env_var_t();

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Captures the log facade at debug level, from every thread, while alive.
class log_capture_t {
 public:
  log_capture_t();
  ~log_capture_t();

  std::vector<std::string> lines() const;
  // Lines at `level` that are exactly `text`.
  std::size_t count(std::int32_t level, const std::string& text) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::int32_t, std::string>> lines_;
  std::int32_t old_level_;
  ov::util::logger::log_function_t old_function_;
};

}  // namespace mq::test
