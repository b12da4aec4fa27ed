#include "syscall_counter.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <boost/filesystem.hpp>

namespace mq::bench {

namespace {

// The tracer of one thread, from its status file; 0 when untraced or gone.
pid_t tracer_of(const boost::filesystem::path& status) {
  std::ifstream in(status.string());
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return static_cast<pid_t>(std::stol(line.substr(10)));
  }
  return 0;
}

}  // namespace

bool syscall_counter_t::available() { return ::system("strace -V >/dev/null 2>&1") == 0; }

syscall_counter_t::syscall_counter_t(pid_t pid, const std::vector<std::string>& calls, std::string output)
    : calls_(calls), output_(std::move(output)) {
  std::string trace = "trace=";
  for (std::size_t i = 0; i < calls.size(); ++i) trace += (i ? "," : "") + calls[i];
  const std::string target = std::to_string(pid);
  strace_ = ::fork();
  if (strace_ < 0) throw std::runtime_error("fork failed");
  if (strace_ == 0) {
    ::execlp("strace", "strace", "-f", "-c", "-q", "-e", trace.c_str(), "-o", output_.c_str(), "-p", target.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Attached once every thread names strace as its tracer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    bool all = true;
    for (const auto& task : boost::filesystem::directory_iterator("/proc/" + target + "/task"))
      all = all && tracer_of(task.path() / "status") == strace_;
    if (all) return;
    int status;
    if (::waitpid(strace_, &status, WNOHANG) == strace_) {
      strace_ = -1;
      throw std::runtime_error("strace could not attach to " + target);
    }
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("strace did not attach in 30 s");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

syscall_counter_t::~syscall_counter_t() { detach(); }

void syscall_counter_t::detach() {
  if (strace_ <= 0) return;
  ::kill(strace_, SIGINT);
  ::waitpid(strace_, nullptr, 0);
  strace_ = -1;
}

std::map<std::string, long> syscall_counter_t::stop() {
  detach();
  // The summary: "% time  seconds  usecs/call  calls  errors  syscall";
  // the errors column is empty when there were none.
  std::map<std::string, long> counts;
  for (const auto& c : calls_) counts[c] = 0;
  std::ifstream in(output_);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream row(line);
    std::vector<std::string> cells;
    for (std::string cell; row >> cell;) cells.push_back(cell);
    if (cells.size() < 5 || counts.count(cells.back()) == 0) continue;
    counts[cells.back()] = std::stol(cells[3]);
  }
  return counts;
}

}  // namespace mq::bench
