#pragma once

#include <exception>
#include <utility>

namespace mq::util {

// Runs f and returns what it threw, once the catch block has ended. An error
// handed to another thread must be moved there from this, with no reference
// left behind on this thread: the count of an exception lives inside the
// runtime library, an ordering the race checker cannot see.
template <class F>
std::exception_ptr thrown_by(F&& f) noexcept {
  std::exception_ptr error;
  try {
    std::forward<F>(f)();
  } catch (...) {
    error = std::current_exception();
  }
  return error;
}

}  // namespace mq::util
