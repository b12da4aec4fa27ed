#pragma once

#include <stdexcept>

namespace mq::util {

// A part of the daemon that is configured on every configuration revision.
class service_t {
 public:
  virtual ~service_t() = default;
  // Applies the configuration read through the pointer given at
  // construction; reports failure only by throwing.
  virtual void configure() = 0;
};

// A change that cannot be applied without a new process.
class restart_required_t : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace mq::util
