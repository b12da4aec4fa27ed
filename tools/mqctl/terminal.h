#pragma once

#include <cstdint>
#include <string>

namespace mqctl {

bool is_terminal(int fd);

// Ctrl-C while a long command runs: instead of ending the process at once,
// it sets a flag that the command looks at between requests.
class interrupt_guard_t {
 public:
  interrupt_guard_t();
  ~interrupt_guard_t();
  interrupt_guard_t(const interrupt_guard_t&) = delete;
  interrupt_guard_t& operator=(const interrupt_guard_t&) = delete;
  static bool interrupted();
};

// Standard input without line buffering or echo, while it lives.
class raw_input_t {
 public:
  explicit raw_input_t(int fd);
  ~raw_input_t();
  raw_input_t(const raw_input_t&) = delete;
  raw_input_t& operator=(const raw_input_t&) = delete;
  // Whether keys can be read (standard input is a terminal).
  bool active() const { return active_; }
  // Waits up to `timeout_ms` for a key; 0 when none came (or a signal).
  int read_key(int timeout_ms);

 private:
  int fd_;
  bool active_ = false;
  unsigned char saved_[128];
};

// Asks a yes/no question on the terminal; true only for y or yes.
bool confirm(const std::string& question);

// One rewritten line on standard error: "done/total, rate".
class progress_t {
 public:
  progress_t(bool enabled, std::uint64_t total) : enabled_(enabled), total_(total) {}
  void update(std::uint64_t done, bool force = false);
  void finish();

 private:
  bool enabled_;
  std::uint64_t total_;
  std::uint64_t start_ms_ = 0, last_ms_ = 0;
  bool shown_ = false;
};

std::uint64_t steady_ms();

}  // namespace mqctl
