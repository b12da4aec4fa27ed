#pragma once

#include "ov/log.h"

namespace ov {

// Lines as "<Level>: <text>" on standard error.
class cf_console_log_t : public cf_log_t {
 public:
  explicit cf_console_log_t(cf_line_hook_t hook);
  void open() override;
  void write(std::int32_t level, const std::string& text) override;
  void out_of_memory() override;
};

}  // namespace ov
