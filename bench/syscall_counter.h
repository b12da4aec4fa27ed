#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace mq::bench {

// Counts chosen system calls of a running process (all its threads) with
// strace, between construction and `stop`. Every system call of a traced
// process stops it: count in a run of its own, never in a timed one.
class syscall_counter_t {
 public:
  // False when strace cannot be run here.
  static bool available();

  // Attaches to `pid` (may be this process) and returns once every thread
  // is traced. `output` is strace's summary file.
  syscall_counter_t(pid_t pid, const std::vector<std::string>& calls, std::string output);
  ~syscall_counter_t();
  syscall_counter_t(const syscall_counter_t&) = delete;
  syscall_counter_t& operator=(const syscall_counter_t&) = delete;

  // Detaches; the number of calls of each name (0 when there were none).
  std::map<std::string, long> stop();

 private:
  // Ends strace, which writes its summary then.
  void detach();

  pid_t strace_ = -1;
  std::vector<std::string> calls_;
  std::string output_;
};

}  // namespace mq::bench
