// mq-overseer: the supervisor of the daemon, for a machine without the
// suite, by hand and in tests. It starts the daemon on a monitor socket
// pair, answers its configuration requests, shows its notifications,
// passes signals on, restarts it and serves its metrics.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

#include "config_file.h"
#include "journal_log.h"
#include "metrics/http_server.h"
#include "reload_request.h"
#include "supervisor.h"

namespace {

namespace fs = boost::filesystem;
namespace po = boost::program_options;
using namespace mq::overseer_tool;

// Where the embedded configuration keeps its files when no folder is given:
// $XDG_STATE_HOME/orvane-mail-quarantine, else ./var.
std::string default_state_dir() {
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) return std::string(xdg) + "/orvane-mail-quarantine";
  return "var";
}

ov::MailQuarantineConfig embedded_config(const std::string& state_dir) {
  ov::MailQuarantineConfig config;
  config.set_log_level(ov::LOG_LEVEL_INFO);
  config.mutable_actual_log()->set_type(ov::Log::STDERR);
  config.mutable_run_as_user()->set_uid(::getuid());
  config.set_spool_dir(state_dir + "/spool");
  config.set_sorter_socket_path(state_dir + "/sorter.sock");
  config.set_client_socket_path(state_dir + "/client.sock");
  return config;
}

int run(int argc, char** argv) {
  options_t options;
  std::uint64_t first_delay = 1000, max_delay = 30000, healthy_after = 60000;
  po::options_description visible(
      "Usage: mq-overseer --daemon PATH [--config FILE | --state-dir DIR] [--metrics HOST:PORT] [OPTIONS]\n"
      "       mq-overseer --reload PID");
  visible.add_options()("help,h", "print this help and exit")("daemon", po::value<std::string>(&options.daemon),
                                                              "path of orvane-mail-quarantine")(
      "reload", po::value<pid_t>(),
      "send SIGHUP to the supervisor PID once it handles it, waiting up to 30 s (the unit's reload)")(
      "config", po::value<std::string>(),
      "configuration file of protobuf JSON (ov.MailQuarantineConfig), read again on SIGHUP")(
      "state-dir", po::value<std::string>(),
      "folder of the embedded configuration (default $XDG_STATE_HOME/orvane-mail-quarantine or ./var)")(
      "metrics", po::value<std::string>(),
      "serve Prometheus metrics on HTTP at HOST:PORT (a numeric host; port 0 picks one), GET /metrics")(
      "restart-delay", po::value<std::uint64_t>(&first_delay)->default_value(first_delay),
      "milliseconds before the first restart of a daemon that died; doubled each time")(
      "restart-delay-max", po::value<std::uint64_t>(&max_delay)->default_value(max_delay),
      "longest delay before a restart, in milliseconds")(
      "healthy-after", po::value<std::uint64_t>(&healthy_after)->default_value(healthy_after),
      "milliseconds of running after which the delays start over")(
      "give-up-after", po::value<unsigned>(&options.restart.give_up_after)->default_value(10),
      "failures in a row before giving up with exit status 1")(
      "journal",
      "log for the journal: every line on standard error with its <N> priority prefix "
      "(the default when standard error is the journal)")("verbose,v", po::bool_switch(&options.verbose),
                                                          "show every notification");
  po::variables_map vm;
  try {
    po::store(po::parse_command_line(argc, argv, visible), vm);
    if (vm.count("help")) {
      std::cout << visible << std::endl;
      return 0;
    }
    po::notify(vm);
    if (!vm.count("daemon") && !vm.count("reload")) throw po::required_option("daemon");
    if (vm.count("metrics")) mq::http::server_t::parse_address(vm["metrics"].as<std::string>());
    if (first_delay == 0 || max_delay < first_delay || options.restart.give_up_after == 0)
      throw po::error("--restart-delay must be at least 1 and at most --restart-delay-max; --give-up-after at least 1");
  } catch (const std::exception& e) {
    std::cerr << "mq-overseer: " << e.what() << "\n" << visible << std::endl;
    return 2;
  }
  use_journal(vm.count("journal") || stderr_is_journal());
  if (vm.count("reload")) {
    try {
      request_reload(vm["reload"].as<pid_t>(), std::chrono::seconds(30));
      return 0;
    } catch (const std::exception& e) {
      log(level_t::error, std::string("reload: ") + e.what());
      return 1;
    }
  }
  options.restart.first_delay = std::chrono::milliseconds(first_delay);
  options.restart.max_delay = std::chrono::milliseconds(max_delay);
  options.restart.healthy_after = std::chrono::milliseconds(healthy_after);
  if (vm.count("config")) options.config_file = vm["config"].as<std::string>();
  if (vm.count("metrics")) options.metrics_address = vm["metrics"].as<std::string>();

  ov::MailQuarantineConfig config;
  if (options.config_file) {
    try {
      config = read_config_file(*options.config_file);
    } catch (const std::exception& e) {
      log(level_t::error, std::string("bad configuration file ") + e.what());
      return 2;
    }
  } else {
    options.state_dir = vm.count("state-dir") ? vm["state-dir"].as<std::string>() : default_state_dir();
    boost::system::error_code error;
    fs::create_directories(options.state_dir, error);
    if (error) {
      log(level_t::error, "cannot create " + options.state_dir + ": " + error.message());
      return 2;
    }
    config = embedded_config(fs::absolute(options.state_dir).lexically_normal().string());
  }
  if (::access(options.daemon.c_str(), X_OK) != 0) {
    log(level_t::error, "cannot run " + options.daemon + ": " + std::strerror(errno));
    return 2;
  }

  log(level_t::info, "spool directory " + config.spool_dir());
  log(level_t::info, "sorter socket " + config.sorter_socket_path());
  log(level_t::info, "client socket " + config.client_socket_path());
  supervisor_t supervisor(std::move(options), std::move(config));
  return supervisor.run();
}

}  // namespace

int main(int argc, char** argv) {
  // A reload asked for while starting must not end the process: held until
  // the supervisor handles it.
  sigset_t hangup;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &hangup, nullptr);
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    log(level_t::error, e.what());
    return 1;
  }
}
