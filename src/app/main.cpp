#include <malloc.h>
#include <signal.h>

#include <cstdlib>
#include <exception>

#include <google/protobuf/stubs/logging.h>

#include "app/command_line.h"
#include "app/daemon.h"
#include "app/last_resort.h"

int main(int argc, char** argv) {
  // A SIGHUP before the daemon handles it stays pending instead of ending it.
  sigset_t hangup;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &hangup, nullptr);
  std::set_terminate(&mq::app::last_resort_handler);
  // No fast bins: a million small blocks freed (a health check's names, a
  // large entry's rows) would otherwise be merged all at once by whichever
  // larger allocation comes next, holding the event loop for a fifth of a
  // second.
  ::mallopt(M_MXFAST, 0);
  google::protobuf::SetLogHandler(&mq::app::protobuf_log_handler);
  const char* monitor = std::getenv("COM_ORVANE_MONITOR");
  if (!monitor) mq::app::run_command_line("orvane-mail-quarantine", MQ_VERSION, argc, argv);
  mq::app::run_daemon(monitor);
}
