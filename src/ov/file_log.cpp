#include "ov/file_log.h"

#include <cstdio>
#include <utility>

#include <unistd.h>

namespace ov {

cf_file_log_t::cf_file_log_t(int fd, bool owns_fd, bool timestamped, cf_line_hook_t hook)
    : cf_log_t(std::move(hook)),
      fd(fd),
      owns_fd(owns_fd),
      timestamped(timestamped),
      pid(static_cast<std::int32_t>(::getpid())) {}

cf_file_log_t::~cf_file_log_t() {
  if (owns_fd && fd >= 0) ::close(fd);
}

void cf_file_log_t::open() {}

std::string cf_file_log_t::timestamp(std::time_t when) {
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  ::localtime_r(&when, &local);
  char text[64];
  int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
  std::snprintf(text, sizeof(text), "%04d-%s-%02d %02d:%02d:%02d", local.tm_year + 1900, months[month], local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

void cf_file_log_t::write(std::int32_t level, const std::string& text) {
  std::string line;
  if (timestamped) line = timestamp(std::time(nullptr)) + " [" + std::to_string(pid) + "] ";
  line += cf_log_level_name(level);
  line += ": ";
  line += text;
  line += '\n';
  cf_log_write_fd(fd, line);
}

void cf_file_log_t::out_of_memory() {
  static const char line[] = "Error: Not enough memory\n";
  cf_write_all(fd, line, sizeof(line) - 1);
}

}  // namespace ov
