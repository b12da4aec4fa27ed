#pragma once

#include <string>

namespace mq::app {

// The standalone tool: --help, --version and the hidden --dump-app-info;
// otherwise refuses to run. Ends the process; a rejected command line
// escapes as an exception to the last-resort handler.
[[noreturn]] void run_command_line(const std::string& program_name, const std::string& version, int argc, char** argv);

}  // namespace mq::app
