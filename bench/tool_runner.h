#pragma once

#include <string>
#include <vector>

namespace mq::bench {

// What one run of a command-line tool cost.
struct tool_run_t {
  double seconds = 0;
  long peak_rss_kib = 0;  // the tool's own high-water mark
  int status = -1;        // exit status, or 128 + signal
  std::string output;     // standard output
};

// The whole content of a file; "" when it cannot be read.
std::string file_text(const std::string& path);

// Runs `argv` to its end with standard output to `output_path` and standard
// error to `output_path`.err; throws when it cannot be started.
tool_run_t run_tool(const std::vector<std::string>& argv, const std::string& output_path);

}  // namespace mq::bench
