#pragma once

// Runs a program to its end and collects what it wrote.

#include <string>
#include <vector>

namespace mq::test {

struct program_result_t {
  int status = -1;  // exit status, or 128 + the killing signal
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `program` with `args` in `cwd` (the current folder when empty),
// standard input from /dev/null. Throws std::runtime_error when it cannot be
// started or does not end within `timeout_ms` (it is killed then).
program_result_t run_program(const std::string& program, const std::vector<std::string>& args,
                             const std::string& cwd = "", int timeout_ms = 120000);

}  // namespace mq::test
