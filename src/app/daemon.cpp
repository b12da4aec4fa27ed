#include "app/daemon.h"

#include <cstdlib>

#include <boost/lexical_cast.hpp>

namespace mq::app {

void run_daemon(const std::string& monitor) {
  // A bad value escapes to the last-resort handler.
  int fd = boost::lexical_cast<int>(monitor);
  (void)fd;
  std::exit(125);
}

}  // namespace mq::app
