#pragma once

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

// The process-wide log facade: a level and a replaceable log function, both
// guarded by one mutex; safe from any thread.
namespace ov::util::logger {

enum level_t : std::int32_t { debug = 0, info = 1, notice = 2, warning = 3, error = 4 };

using log_function_t = std::function<void(std::int32_t level, const std::string& text)>;

void log(std::int32_t level, const std::string& text);
std::int32_t log_level();
std::int32_t set_log_level(std::int32_t level);
log_function_t set_log_function(log_function_t f);

}  // namespace ov::util::logger

// Builds the line only when the level passes: OV_LOG(debug, "Put entry " << id).
#define OV_LOG(level, stream_expr)                                                           \
  do {                                                                                       \
    const std::int32_t ov_log_level_ = ::ov::util::logger::level;                            \
    if (::ov::util::logger::log_level() <= ov_log_level_) {                                  \
      std::ostringstream ov_log_stream_;                                                     \
      ov_log_stream_ << stream_expr; /* NOLINT(bugprone-macro-parentheses): a chain of << */ \
      ::ov::util::logger::log(ov_log_level_, ov_log_stream_.str());                          \
    }                                                                                        \
  } while (0)
