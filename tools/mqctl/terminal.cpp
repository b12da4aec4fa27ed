#include "terminal.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace mqctl {

namespace {

volatile sig_atomic_t interrupt_flag = 0;
struct sigaction saved_int {};

void on_interrupt(int) { interrupt_flag = 1; }

static_assert(sizeof(termios) <= 128, "room for the saved terminal settings");

}  // namespace

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

std::uint64_t steady_ms() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

interrupt_guard_t::interrupt_guard_t() {
  interrupt_flag = 0;
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  ::sigaction(SIGINT, &sa, &saved_int);
  ::sigaction(SIGTERM, &sa, nullptr);
}

interrupt_guard_t::~interrupt_guard_t() {
  ::sigaction(SIGINT, &saved_int, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGTERM, &dfl, nullptr);
}

bool interrupt_guard_t::interrupted() { return interrupt_flag != 0; }

raw_input_t::raw_input_t(int fd) : fd_(fd) {
  termios t{};
  if (!is_terminal(fd) || ::tcgetattr(fd, &t) != 0) return;
  std::memcpy(saved_, &t, sizeof t);
  t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  active_ = ::tcsetattr(fd, TCSANOW, &t) == 0;
}

raw_input_t::~raw_input_t() {
  if (!active_) return;
  termios t{};
  std::memcpy(&t, saved_, sizeof t);
  ::tcsetattr(fd_, TCSANOW, &t);
}

int raw_input_t::read_key(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return 0;
  unsigned char c = 0;
  if (::read(fd_, &c, 1) != 1) return 0;
  return c;
}

bool confirm(const std::string& question) {
  std::cerr << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::cerr << '\n';
    return false;
  }
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

void progress_t::update(std::uint64_t done, bool force) {
  if (!enabled_) return;
  const std::uint64_t now = steady_ms();
  if (!start_ms_) start_ms_ = now;
  if (!force && now - last_ms_ < 200) return;
  last_ms_ = now;
  const double seconds = static_cast<double>(now - start_ms_) / 1000.0;
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  std::fprintf(stderr, "\r%llu/%llu entries, %.0f/s   ", static_cast<unsigned long long>(done),
               static_cast<unsigned long long>(total_), rate);
  std::fflush(stderr);
  shown_ = true;
}

void progress_t::finish() {
  if (!shown_) return;
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
  shown_ = false;
}

}  // namespace mqctl
