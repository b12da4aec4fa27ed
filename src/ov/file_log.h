#pragma once

#include <ctime>

#include "ov/log.h"

namespace ov {

// Lines as "<local time> [<pid>] <Level>: <text>" on a descriptor, or as
// "<Level>: <text>" without `timestamped`.
class cf_file_log_t : public cf_log_t {
 public:
  cf_file_log_t(int fd, bool owns_fd, bool timestamped, cf_line_hook_t hook);
  ~cf_file_log_t() override;
  cf_file_log_t(const cf_file_log_t&) = delete;
  cf_file_log_t& operator=(const cf_file_log_t&) = delete;

  void open() override;
  void write(std::int32_t level, const std::string& text) override;
  void out_of_memory() override;

  // "%Y-%b-%d %H:%M:%S" in local time, month names of the classic locale.
  static std::string timestamp(std::time_t when);

  std::int32_t fd;
  bool owns_fd;
  bool timestamped;
  std::int32_t pid;
};

}  // namespace ov
