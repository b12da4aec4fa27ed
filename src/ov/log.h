#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "log.pb.h"

// The log writer: buffers lines until a target exists, then hands them to
// the current target; flushes to standard error at exit.
namespace ov {

using cf_line_hook_t = std::function<void(const std::string&)>;

class cf_log_t {
 public:
  explicit cf_log_t(cf_line_hook_t hook);
  virtual ~cf_log_t() = default;
  virtual void open() = 0;
  virtual void write(std::int32_t level, const std::string& text) = 0;
  virtual void out_of_memory() = 0;

  cf_line_hook_t line_hook;
};

extern std::int32_t cf_log_threshold;

void cf_log_write(std::int32_t level, const std::string& text);
void cf_log_set(std::shared_ptr<cf_log_t> target);
bool cf_log_is_set();
void cf_log_flush();
void cf_log_out_of_memory();
const char* cf_log_level_name(std::int32_t level);
std::int32_t cf_log_threshold_of(std::int32_t log_level);
std::shared_ptr<cf_log_t> cf_make_log(const Log& config, cf_line_hook_t hook);
std::shared_ptr<cf_log_t> cf_make_default_log();

}  // namespace ov
