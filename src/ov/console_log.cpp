#include "ov/console_log.h"

#include <utility>

namespace ov {

cf_console_log_t::cf_console_log_t(cf_line_hook_t hook) : cf_log_t(std::move(hook)) {}

void cf_console_log_t::open() {}

void cf_console_log_t::write(std::int32_t level, const std::string& text) {
  std::string line = cf_log_level_name(level);
  line += ": ";
  line += text;
  line += '\n';
  cf_log_write_fd(2, line);
}

void cf_console_log_t::out_of_memory() {
  static const char line[] = "Error: Not enough memory\n";
  cf_write_all(2, line, sizeof(line) - 1);
}

}  // namespace ov
