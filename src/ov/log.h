#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "log.pb.h"

// The log writer: buffers lines until a target exists, then hands them to
// the current target; flushes to standard error at exit.
namespace ov {

using cf_line_hook_t = std::function<void(const std::string&)>;

// Base of the log targets. An empty hook is replaced by one that does nothing.
class cf_log_t {
 public:
  explicit cf_log_t(cf_line_hook_t hook);
  virtual ~cf_log_t() = default;
  virtual void open() = 0;
  virtual void write(std::int32_t level, const std::string& text) = 0;
  // Reports memory exhaustion without allocating.
  virtual void out_of_memory() = 0;

  cf_line_hook_t line_hook;
};

// 0 buffering (no target yet), 1 target installed, 2 standard error.
extern std::atomic<std::int32_t> cf_log_state;
// Writer threshold: callers that use the writer directly compare against it.
extern std::atomic<std::int32_t> cf_log_threshold;

void cf_log_write(std::int32_t level, const std::string& text);
// Installs the target (an empty pointer is ignored) and replays the buffered
// lines that pass the threshold then in force.
void cf_log_set(std::shared_ptr<cf_log_t> target);
bool cf_log_is_set();
// Switches to standard error for good and writes out the buffer; also runs at exit.
void cf_log_flush();
void cf_log_out_of_memory();
const char* cf_log_level_name(std::int32_t level);
// ov.LogLevel (1 debug .. 5 error) to a writer threshold; anything else is error.
std::int32_t cf_log_threshold_of(std::int32_t log_level);
// Target for a configuration, empty for an unsupported type. Without a hook,
// COM_ORVANE_ADD_LOG_PIPE may name a descriptor that receives a copy of each line.
std::shared_ptr<cf_log_t> cf_make_log(const Log& config, cf_line_hook_t hook);
std::shared_ptr<cf_log_t> cf_make_default_log();

// Writes all bytes, repeating on EINTR; any other failure drops the rest silently.
void cf_write_all(int fd, const char* data, std::size_t size);
// The same under the writer mutex, for the targets' physical writes.
void cf_log_write_fd(int fd, const std::string& line);

}  // namespace ov
