#include "ov/log.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include <unistd.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

namespace ov {

std::atomic<std::int32_t> cf_log_state{0};
std::atomic<std::int32_t> cf_log_threshold{0};

namespace {

struct buffered_line_t {
  std::int32_t level;
  std::string text;
};

struct writer_t {
  std::mutex buffer_mutex;  // guards the buffer and the state change away from 0
  std::vector<buffered_line_t> buffer;
  std::shared_ptr<cf_log_t> target;
};

// Never destroyed: lines written by late destructors and other threads during
// exit still find a valid mutex.
boost::mutex& writer_mutex() {
  static boost::mutex* instance = new boost::mutex;
  return *instance;
}

// Built on first use so that static initialisers elsewhere may already log.
writer_t& writer() {
  static writer_t instance;
  return instance;
}

void flush_at_exit() { cf_log_flush(); }

// Registered after the writer state exists, so it runs before that state is destroyed.
struct flush_registration_t {
  flush_registration_t() {
    writer_mutex();
    writer();
    std::atexit(&flush_at_exit);
  }
} flush_registration;

const char memory_line[] = "Error: Not enough memory\n";

}  // namespace

cf_log_t::cf_log_t(cf_line_hook_t hook) : line_hook(std::move(hook)) {
  if (!line_hook) line_hook = [](const std::string&) {};
}

void cf_write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void cf_log_write_fd(int fd, const std::string& line) {
  boost::lock_guard<boost::mutex> lock(writer_mutex());
  cf_write_all(fd, line.data(), line.size());
}

void cf_log_write(std::int32_t level, const std::string& text) {
  writer_t& w = writer();
  if (cf_log_state.load() == 0) {
    std::lock_guard<std::mutex> lock(w.buffer_mutex);
    if (cf_log_state.load() == 0) {
      w.buffer.push_back(buffered_line_t{level, text});
      return;
    }
  }
  if (cf_log_state.load() == 2) {
    if (level >= cf_log_threshold.load()) {
      cf_log_write_fd(2, std::string(cf_log_level_name(level)) + ": " + text + "\n");
    }
    return;
  }
  std::shared_ptr<cf_log_t> target;
  {
    boost::lock_guard<boost::mutex> lock(writer_mutex());
    target = w.target;
  }
  if (!target) return;
  target->write(level, text);
  std::string line = std::string(cf_log_level_name(level)) + ": " + text;
  boost::lock_guard<boost::mutex> lock(writer_mutex());
  target->line_hook(line);
}

void cf_log_set(std::shared_ptr<cf_log_t> target) {
  if (!target) return;
  writer_t& w = writer();
  {
    boost::lock_guard<boost::mutex> lock(writer_mutex());
    // The previous target goes first, so that its closing precedes the new opening.
    w.target.reset();
    w.target = std::move(target);
    w.target->open();
    std::lock_guard<std::mutex> buffer_lock(w.buffer_mutex);
    std::int32_t buffering = 0;
    cf_log_state.compare_exchange_strong(buffering, 1);
  }
  std::vector<buffered_line_t> lines;
  {
    std::lock_guard<std::mutex> lock(w.buffer_mutex);
    lines.swap(w.buffer);
  }
  for (const buffered_line_t& line : lines) {
    if (line.level >= cf_log_threshold.load()) cf_log_write(line.level, line.text);
  }
}

bool cf_log_is_set() {
  writer_t& w = writer();
  boost::lock_guard<boost::mutex> lock(writer_mutex());
  return static_cast<bool>(w.target);
}

void cf_log_flush() {
  writer_t& w = writer();
  std::vector<buffered_line_t> lines;
  {
    std::lock_guard<std::mutex> lock(w.buffer_mutex);
    cf_log_state.store(2);
    lines.swap(w.buffer);
  }
  if (lines.empty()) return;
  cf_log_write(0, "Flushing log...");
  for (const buffered_line_t& line : lines) cf_log_write(line.level, line.text);
}

void cf_log_out_of_memory() {
  if (cf_log_state.load() == 1) {
    std::shared_ptr<cf_log_t> target;
    {
      boost::lock_guard<boost::mutex> lock(writer_mutex());
      target = writer().target;
    }
    if (target) {
      target->out_of_memory();
      return;
    }
  }
  cf_write_all(2, memory_line, sizeof(memory_line) - 1);
}

const char* cf_log_level_name(std::int32_t level) {
  static const char* const names[] = {"Debug", "Info", "Notice", "Warning", "Error"};
  return level >= 0 && level < 5 ? names[level] : "Unknown";
}

std::int32_t cf_log_threshold_of(std::int32_t log_level) {
  if (log_level >= 1 && log_level <= 4) return log_level - 1;
  return 4;
}

}  // namespace ov
