#include "common.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/filesystem/operations.hpp>

#include "util/unique_fd.h"

namespace mq::test {

std::chrono::milliseconds wait_limit(std::chrono::milliseconds base) {
  const char* text = std::getenv("MQ_TEST_TIME_SCALE");
  const double scale = text ? std::atof(text) : 1;
  return std::chrono::milliseconds(static_cast<std::int64_t>(base.count() * (scale > 0 ? scale : 1)));
}

bool run_until(boost::asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // Keeps run_one_for waiting instead of spinning when nothing is pending.
  const auto work = boost::asio::make_work_guard(io);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (io.stopped()) io.restart();
    io.run_one_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit; !done();
       std::this_thread::sleep_for(std::chrono::milliseconds(10)))
    if (std::chrono::steady_clock::now() >= deadline) return false;
  return true;
}

void throw_errno(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

temp_dir_t::temp_dir_t() {
  const char* parent = std::getenv("TMPDIR");
  std::string name = std::string(parent && *parent ? parent : "/tmp") + "/mq-test.XXXXXX";
  if (!::mkdtemp(name.data())) throw_errno("mkdtemp");
  path_ = name;
}

temp_dir_t::~temp_dir_t() {
  boost::system::error_code ec;
  boost::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  const util::unique_fd_t fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw_errno("open " + path);
  return read_fd(fd.get());
}

void write_file(const std::string& path, const std::string& content) {
  const util::unique_fd_t fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0 || ::write(fd.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    throw_errno("write " + path);
}

std::string read_fd(int fd) {
  std::string out;
  char buffer[65536];
  for (ssize_t n; (n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(out.size()))) != 0;) {
    if (n < 0 && errno != EINTR) throw_errno("pread");
    if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

std::string after(const std::string& text, const std::string& mark) {
  const auto at = text.find(mark);
  return at == std::string::npos ? "" : text.substr(at + mark.size());
}

std::string pattern(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
  return s;
}

env_var_t::env_var_t(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  value ? ::setenv(name, value, 1) : ::unsetenv(name);
}

env_var_t::~env_var_t() { old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str()); }

log_capture_t::log_capture_t() {
  old_function_ = ov::util::logger::set_log_function([this](std::int32_t level, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(level, text);
  });
  old_level_ = ov::util::logger::set_log_level(ov::util::logger::debug);
}

log_capture_t::~log_capture_t() {
  ov::util::logger::set_log_level(old_level_);
  ov::util::logger::set_log_function(old_function_);
}

std::vector<std::string> log_capture_t::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& l : lines_) out.push_back(l.second);
  return out;
}

std::size_t log_capture_t::count(std::int32_t level, const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const auto& l : lines_) n += l.first == level && l.second == text;
  return n;
}

}  // namespace mq::test
