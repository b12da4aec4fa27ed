#pragma once

#include <stdexcept>
#include <string>

#include "api/error.h"

namespace mqctl {

// Exit statuses of the tool.
enum exit_status_t : int {
  exit_ok = 0,
  exit_problems = 1,       // check: problems were found (and with --fix, repaired)
  exit_daemon_error = 1,   // the daemon answered with an error, or an entry named by id is not there
  exit_usage = 2,          // wrong command line
  exit_connection = 3,     // socket missing, refused, closed, timed out or garbled
  exit_file = 4,           // a local file could not be read or written
  exit_interrupted = 130,  // stopped by Ctrl-C (or SIGTERM) part way
};

// A wrong command line.
class usage_error_t : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using mq::api::connection_error_t;
using mq::api::daemon_error_t;

// An entry named by id does not exist.
class not_found_error_t : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Trouble with a local file.
class file_error_t : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace mqctl
