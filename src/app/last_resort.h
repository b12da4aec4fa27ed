#pragma once

#include <exception>
#include <string>

#include <google/protobuf/stubs/logging.h>

#include "error.pb.h"

namespace mq::app {

// Terminate handler: logs the exception in flight and ends the process at
// once with its error code, running no destructors or exit handlers.
[[noreturn]] void last_resort_handler() noexcept;

// The exit status the last-resort handler uses for an exception: its error
// code, except that a std::system_error counts as unexpected.
ov::ErrorCode last_resort_code_of(const std::exception& e);

// Routes the protobuf library's messages into the log writer.
void protobuf_log_handler(google::protobuf::LogLevel level, const char* filename, int line, const std::string& message);

}  // namespace mq::app
