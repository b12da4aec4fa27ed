#pragma once

#include <exception>
#include <string>

namespace mq::util {

// Whether a link failure is the peer closing its end (logged as a plain
// disconnect rather than an error).
bool is_end_of_file(const std::exception_ptr& error);

// The what() text of a captured exception, or "Unexpected exception".
std::string what_of(const std::exception_ptr& error);

}  // namespace mq::util
