#include "app/last_resort.h"

#include <cstring>
#include <new>
#include <system_error>

#include <unistd.h>

#include "ov/error.h"
#include "ov/log.h"

namespace mq::app {

namespace {

void log_error(const char* text) {
  if (ov::cf_log_threshold.load() <= 4) ov::cf_log_write(4, text);
}

}  // namespace

ov::ErrorCode last_resort_code_of(const std::exception& e) {
  if (dynamic_cast<const std::system_error*>(&e)) return ov::EC_UNEXPECTED_ERROR;
  return ov::error_code_of(e);
}

void last_resort_handler() noexcept {
  int code = ov::EC_UNEXPECTED_ERROR;
  try {
    if (!ov::cf_log_is_set()) {
      ov::cf_log_threshold = 2;
      ov::cf_log_set(ov::cf_make_default_log());
    }
    std::exception_ptr in_flight = std::current_exception();
    if (!in_flight) {
      log_error("Unexpected exception");
    } else {
      try {
        std::rethrow_exception(in_flight);
      } catch (const std::exception& e) {
        code = last_resort_code_of(e);
        log_error(ov::exception_text(e));
      } catch (...) {
        code = ov::EC_UNEXPECTED_ERROR;
        log_error("Unexpected exception");
      }
    }
  } catch (const std::bad_alloc&) {
    ov::cf_log_out_of_memory();
    ::_exit(ov::EC_NO_MEMORY);
  } catch (...) {
  }
  ::_exit(code);
}

void protobuf_log_handler(google::protobuf::LogLevel level, const char* /*filename*/, int /*line*/,
                          const std::string& message) {
  static constexpr char large_message[] = "Reading dangerously large protocol message.";
  std::int32_t ours;
  switch (level) {
    case google::protobuf::LOGLEVEL_INFO:
      ours = 1;
      break;
    case google::protobuf::LOGLEVEL_WARNING:
      if (message.compare(0, sizeof(large_message) - 1, large_message) == 0) return;
      ours = 3;
      break;
    default:
      ours = 4;
      break;
  }
  if (ours >= ov::cf_log_threshold.load()) ov::cf_log_write(ours, message);
}

}  // namespace mq::app
