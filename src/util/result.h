#pragma once

#include <exception>
#include <utility>

#include <boost/variant.hpp>

namespace mq::util {

// Value of an operation that has nothing to return.
struct none_t {};

// Outcome of an asynchronous operation: the value or the captured exception.
template <class T>
using result_t = boost::variant<T, std::exception_ptr>;

template <class T>
bool has_value(const result_t<T>& r) {
  return r.which() == 0;
}

template <class T>
std::exception_ptr error_of(const result_t<T>& r) {
  if (const auto* e = boost::get<std::exception_ptr>(&r)) return *e;
  return nullptr;
}

// The value; rethrows the captured exception instead.
template <class T>
T& value_of(result_t<T>& r) {
  if (auto* e = boost::get<std::exception_ptr>(&r)) std::rethrow_exception(*e);
  return boost::get<T>(r);
}

// Turns the (value, exception) pair delivered by a worker into a result.
template <class T>
result_t<T> make_result(T value, std::exception_ptr error) {
  if (error) return result_t<T>(std::move(error));
  return result_t<T>(std::move(value));
}

template <class T>
result_t<T> make_error_result(std::exception_ptr error) {
  return result_t<T>(std::move(error));
}

}  // namespace mq::util
