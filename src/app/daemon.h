#pragma once

#include <string>

namespace mq::app {

// Daemon mode: `monitor` is the text of COM_ORVANE_MONITOR. Never returns.
[[noreturn]] void run_daemon(const std::string& monitor);

}  // namespace mq::app
