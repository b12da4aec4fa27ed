#include "ov/logger.h"

#include <mutex>

namespace ov::util::logger {

namespace {

struct facade_t {
  std::mutex mutex;
  std::int32_t level = 0;
  log_function_t function = [](std::int32_t, const std::string&) {};
};

// Built on first use so that code running during static initialisation can log.
facade_t& facade() {
  static facade_t* instance = new facade_t;  // never destroyed: logging stays valid during exit
  return *instance;
}

}  // namespace

void log(std::int32_t level, const std::string& text) {
  facade_t& f = facade();
  std::lock_guard<std::mutex> lock(f.mutex);
  if (f.function) f.function(level, text);
}

std::int32_t log_level() {
  facade_t& f = facade();
  std::lock_guard<std::mutex> lock(f.mutex);
  return f.level;
}

std::int32_t set_log_level(std::int32_t level) {
  facade_t& f = facade();
  std::lock_guard<std::mutex> lock(f.mutex);
  std::int32_t previous = f.level;
  f.level = level;
  return previous;
}

log_function_t set_log_function(log_function_t function) {
  facade_t& f = facade();
  std::lock_guard<std::mutex> lock(f.mutex);
  log_function_t previous = std::move(f.function);
  f.function = std::move(function);
  return previous;
}

}  // namespace ov::util::logger
