#pragma once

#include <stdexcept>

namespace mq::net {

// Malformed traffic on a protocol connection; ends only that connection.
class ipc_error_t : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace mq::net
