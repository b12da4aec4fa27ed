// mq-web: the quarantine in a browser. An unprivileged client of the
// daemon's sockets, like mqctl, serving pages on 127.0.0.1:9468.

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>

#include "notify/notifier.h"
#include "web/app.h"
#include "web/users.h"

namespace {

namespace po = boost::program_options;

// A password from standard input: one line, not echoed on a terminal.
std::string read_password() {
  termios saved{};
  const bool tty = ::isatty(0) && ::tcgetattr(0, &saved) == 0;
  if (tty) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(0, TCSANOW, &quiet);
    std::cerr << "Password: " << std::flush;
  }
  std::string password;
  std::getline(std::cin, password);
  if (tty) {
    ::tcsetattr(0, TCSANOW, &saved);
    std::cerr << '\n';
  }
  return password;
}

int run(int argc, char** argv) {
  mq::web::options_t o;
  std::string state_dir;
  unsigned session_hours = 8;
  unsigned page_budget_ms = static_cast<unsigned>(o.selection_budget.count());
  unsigned action_budget_ms = static_cast<unsigned>(o.action_budget.count());
  po::options_description visible(
      "Usage: mq-web [OPTIONS]\n"
      "       mq-web [--users FILE] set-user NAME   (password on standard input)\n"
      "       mq-web [--users FILE] remove-user NAME");
  visible.add_options()("help,h", "print this help and exit")("listen", po::value(&o.listen)->default_value(o.listen),
                                                              "HOST:PORT to serve on (a numeric host)")(
      "users", po::value(&o.users_file)->default_value(o.users_file), "file of users and password hashes")(
      "state-dir", po::value(&state_dir)->default_value("/run/orvane-mail-quarantine"),
      "folder of the daemon's sockets")("sorter-socket", po::value(&o.sorter_socket),
                                        "the Sorter socket (default STATE_DIR/sorter.sock)")(
      "client-socket", po::value(&o.client_socket), "the client socket (default STATE_DIR/client.sock)")(
      "session-hours", po::value(&session_hours)->default_value(session_hours), "hours a login lasts")(
      "secure-cookie", po::bool_switch(&o.secure_cookie),
      "mark the session cookie Secure (behind a proxy that serves HTTPS)")(
      "allowed-host", po::value(&o.allowed_hosts)->composing(),
      "a host name (NAME or NAME:PORT) to answer to besides 127.0.0.1, localhost and [::1] on the port served; "
      "repeatable (the name a proxy passes on)")("page-budget-ms",
                                                 po::value(&page_budget_ms)->default_value(page_budget_ms),
                                                 "milliseconds a page's selection may walk the queue (at most 100000)")(
      "action-budget-ms", po::value(&action_budget_ms)->default_value(action_budget_ms),
      "milliseconds a bulk action's selection may walk the queue before the action stops, acting on nothing "
      "(at most 3600000)");
  po::options_description hidden;
  hidden.add_options()("command", po::value<std::vector<std::string>>());
  po::options_description all;
  all.add(visible).add(hidden);
  po::positional_options_description positional;
  positional.add("command", -1);
  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
    if (vm.count("help")) {
      std::cout << visible << std::endl;
      return 0;
    }
    po::notify(vm);
    if (session_hours == 0 || session_hours > 24 * 30) throw po::error("--session-hours is 1 to 720");
    // A page's answer must leave within the exchange's deadline (120 s).
    if (page_budget_ms > 100000) throw po::error("--page-budget-ms is at most 100000");
    if (action_budget_ms > 3600000) throw po::error("--action-budget-ms is at most 3600000");
    o.selection_budget = std::chrono::milliseconds(page_budget_ms);
    o.action_budget = std::chrono::milliseconds(action_budget_ms);
    mq::http::server_t::parse_address(o.listen);
  } catch (const std::exception& e) {
    std::cerr << "mq-web: " << e.what() << "\n" << visible << std::endl;
    return 2;
  }
  if (vm.count("command")) {
    const auto words = vm["command"].as<std::vector<std::string>>();
    if (words.size() != 2 || (words[0] != "set-user" && words[0] != "remove-user")) {
      std::cerr << "mq-web: unknown command\n" << visible << std::endl;
      return 2;
    }
    if (words[0] == "remove-user") {
      if (!mq::web::users_t(o.users_file).remove(words[1])) {
        std::cerr << "mq-web: no user " << words[1] << " in " << o.users_file << '\n';
        return 1;
      }
      std::cout << "User " << words[1] << " removed from " << o.users_file << '\n';
      return 0;
    }
    const std::string password = read_password();
    if (password.size() < 8) {
      std::cerr << "mq-web: a password has at least 8 characters\n";
      return 2;
    }
    mq::web::users_t(o.users_file).set(words[1], password);
    std::cout << "User " << words[1] << " set in " << o.users_file << '\n';
    return 0;
  }
  if (o.sorter_socket.empty()) o.sorter_socket = state_dir + "/sorter.sock";
  if (o.client_socket.empty()) o.client_socket = state_dir + "/client.sock";
  o.session_lifetime = std::chrono::hours(session_hours);

  // A browser that goes away mid-answer must not end the process.
  ::signal(SIGPIPE, SIG_IGN);
  boost::asio::io_context io;
  mq::web::app_t app(io, o);
  mq::web::log_line(6, "serving on " + mq::http::server_t::url(app.endpoint()) + "/");
  mq::notify::notifier_t notify(io, [](const std::string& text) { mq::web::log_line(4, text); });
  // systemd hears of the stop; the signal then ends the process as it
  // always has, dropping what is in flight.
  boost::asio::signal_set stop(io, SIGTERM, SIGINT);
  stop.async_wait([&notify](const boost::system::error_code& error, int signal) {
    if (error) return;
    notify.stopping();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  });
  notify.ready("serving on " + mq::http::server_t::url(app.endpoint()) + "/");
  io.run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    mq::web::log_line(3, e.what());
    return 1;
  }
}
