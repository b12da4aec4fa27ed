// mq-overseer: a small supervisor for running the daemon by hand and in
// tests. It starts the daemon on a monitor socket pair, answers its
// configuration requests, shows its notifications, passes signals on and
// restarts it when it asks for a restart (exit status 0).

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

#include "mail_quarantine_config.pb.h"
#include "ov/error.h"
#include "overseer_mail_quarantine_ipc.pb.h"
#include "util/local_ipc_link.h"

extern char** environ;

namespace {

namespace fs = boost::filesystem;
namespace po = boost::program_options;
using in_t = ov::MailQuarantine2OverseerMessage;
using out_t = ov::Overseer2MailQuarantineMessage;

const char* const program = "mq-overseer";

struct options_t {
  std::string daemon;
  std::optional<std::string> config_file;
  std::string state_dir;
  bool verbose = false;
};

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

// Reads a configuration file of protobuf JSON; throws std::runtime_error
// naming the file and the parser's complaint.
ov::MailQuarantineConfig read_config_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot open: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  ov::MailQuarantineConfig config;
  auto status = google::protobuf::util::JsonStringToMessage(text.str(), &config);
  if (!status.ok()) throw std::runtime_error(path + ": " + std::string(status.message()));
  return config;
}

// A socket file that nobody listens on any more is left over from an
// earlier run; binding would fail on it.
void remove_stale_socket(const std::string& path) {
  if (path.empty()) return;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return;
  sockaddr_un addr{};
  if (path.size() >= sizeof(addr.sun_path)) return;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return;
  const bool listening = ::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
  const int error = errno;
  ::close(s);
  if (listening) {
    std::cerr << program << ": " << path << " is in use by another process" << std::endl;
    return;
  }
  if (error == ECONNREFUSED) {
    if (::unlink(path.c_str()) == 0) std::cout << program << ": removed stale socket " << path << std::endl;
  }
}

std::string status_text(int status) { return std::to_string(status) + " (" + ov::error_code_name(status) + ")"; }

class overseer_t : private mq::util::local_ipc_link_t::delegate_t {
 public:
  overseer_t(options_t options, ov::MailQuarantineConfig config)
      : options_(std::move(options)), config_(std::move(config)), signals_(io_) {}

  int run() {
    for (int s : {SIGHUP, SIGTERM, SIGINT, SIGCHLD}) signals_.add(s);
    wait_signal();
    start_daemon();
    io_.run();
    return result_;
  }

 private:
  void start_daemon() {
    remove_stale_socket(config_.sorter_socket_path());
    remove_stale_socket(config_.client_socket_path());

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
      throw std::system_error(errno, std::generic_category(), "socketpair");
    const int theirs = pair[1];

    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "COM_ORVANE_MONITOR=", 19) != 0) env_strings.emplace_back(*e);
    env_strings.push_back("COM_ORVANE_MONITOR=" + std::to_string(theirs));
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string path = options_.daemon;
    char* argv[] = {path.data(), nullptr};

    pid_t pid = ::fork();
    if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid == 0) {
      // The daemon's end is inherited; ours is close-on-exec.
      ::fcntl(theirs, F_SETFD, 0);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execve(argv[0], argv, envp.data());
      const char msg[] = "mq-overseer: cannot start the daemon\n";
      ssize_t ignored = ::write(2, msg, sizeof(msg) - 1);
      (void)ignored;
      ::_exit(127);
    }
    ::close(theirs);
    pid_ = pid;
    announced_ = false;
    last_info_.reset();
    last_clients_.reset();
    std::cout << program << ": started " << options_.daemon << " (pid " << pid << ")" << std::endl;

    mq::util::local_ipc_link_t::socket_t socket(io_);
    socket.assign(boost::asio::local::stream_protocol(), pair[0]);
    link_ = std::make_unique<mq::util::local_ipc_link_t>(std::move(socket),
                                                         static_cast<mq::util::local_ipc_link_t::delegate_t*>(this));
  }

  void wait_signal() {
    signals_.async_wait([this](const boost::system::error_code& error, int signal) {
      if (error) return;
      on_signal(signal);
      if (!done_) wait_signal();
    });
  }

  void on_signal(int signal) {
    switch (signal) {
      case SIGHUP:
        if (options_.config_file) {
          try {
            config_ = read_config_file(*options_.config_file);
            std::cout << program << ": re-read " << *options_.config_file << std::endl;
          } catch (const std::exception& e) {
            std::cerr << program << ": " << e.what() << "; keeping the previous configuration" << std::endl;
          }
        }
        if (pid_ > 0) ::kill(pid_, SIGHUP);
        break;
      case SIGTERM:
      case SIGINT:
        stopping_ = true;
        if (pid_ > 0) ::kill(pid_, signal);
        break;
      case SIGCHLD:
        reap();
        break;
    }
  }

  void reap() {
    if (pid_ <= 0) return;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r != pid_) return;
    pid_ = -1;
    link_.reset();
    if (WIFSIGNALED(status)) {
      std::cout << program << ": daemon killed by signal " << WTERMSIG(status) << std::endl;
      finish(128 + WTERMSIG(status));
      return;
    }
    const int code = WEXITSTATUS(status);
    if (code == 0 && !stopping_) {
      if (!announced_) {
        // It never became ready: starting it again would only loop.
        std::cout << program << ": daemon exited with status " << status_text(code)
                  << " before it was ready; not restarting" << std::endl;
        finish(1);
        return;
      }
      std::cout << program << ": daemon exited with status " << status_text(code) << ", restarting" << std::endl;
      start_daemon();
      return;
    }
    std::cout << program << ": daemon exited with status " << status_text(code) << std::endl;
    finish(stopping_ && (code == ov::EC_APP_TERMINATED || code == 0) ? 0 : code);
  }

  void finish(int result) {
    result_ = result;
    done_ = true;
    signals_.cancel();
  }

  void on_written() override {}

  void on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t) override {
    in_t message;
    if (!message.ParseFromArray(data, static_cast<int>(size))) {
      std::cerr << program << ": malformed message from the daemon" << std::endl;
      return;
    }
    switch (message.tag()) {
      case in_t::GET_CONFIG_REQUEST: {
        out_t response;
        response.set_tag(out_t::GET_CONFIG_RESPONSE);
        response.set_config_revision(++revision_);
        *response.mutable_config() = config_;
        const std::string body = response.SerializeAsString();
        std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[body.size()]);
        std::memcpy(bytes.get(), body.data(), body.size());
        link_->send(std::move(bytes), static_cast<std::uint32_t>(body.size()));
        if (options_.verbose) std::cout << program << ": sent configuration revision " << revision_ << std::endl;
        break;
      }
      case in_t::MY_INFO_NOTIFICATION:
        announced_ = true;
        if (options_.verbose || last_info_ != message.config_revision())
          std::cout << program << ": daemon ready with configuration revision " << message.config_revision()
                    << std::endl;
        last_info_ = message.config_revision();
        break;
      case in_t::MY_STAT_NOTIFICATION:
        if (options_.verbose || last_clients_ != message.stat().clients())
          std::cout << program << ": clients " << message.stat().clients() << std::endl;
        last_clients_ = message.stat().clients();
        break;
    }
  }

  void on_error(std::exception_ptr) override {
    // The daemon closed the channel; its exit status comes with SIGCHLD.
    link_.reset();
  }

  options_t options_;
  ov::MailQuarantineConfig config_;
  boost::asio::io_context io_;
  boost::asio::signal_set signals_;
  std::unique_ptr<mq::util::local_ipc_link_t> link_;
  pid_t pid_ = -1;
  std::uint32_t revision_ = 0;
  bool announced_ = false;
  bool stopping_ = false;
  bool done_ = false;
  int result_ = 0;
  std::optional<std::uint32_t> last_info_;
  std::optional<std::uint32_t> last_clients_;
};

int run(int argc, char** argv) {
  options_t options;
  po::options_description visible("Usage: mq-overseer --daemon PATH [--config FILE] [--verbose] [--state-dir DIR]");
  visible.add_options()("help,h", "print this help and exit")(
      "daemon", po::value<std::string>(&options.daemon)->required(), "path of orvane-mail-quarantine")(
      "config", po::value<std::string>(), "configuration file of protobuf JSON (ov.MailQuarantineConfig)")(
      "state-dir", po::value<std::string>(),
      "folder of the embedded configuration (default $XDG_STATE_HOME/orvane-mail-quarantine or ./var)")(
      "verbose,v", po::bool_switch(&options.verbose), "show every notification");
  po::variables_map vm;
  try {
    po::store(po::parse_command_line(argc, argv, visible), vm);
    if (vm.count("help")) {
      std::cout << visible << std::endl;
      return 0;
    }
    po::notify(vm);
  } catch (const po::error& e) {
    std::cerr << program << ": " << e.what() << "\n" << visible << std::endl;
    return 2;
  }
  if (vm.count("config")) options.config_file = vm["config"].as<std::string>();

  ov::MailQuarantineConfig config;
  if (options.config_file) {
    try {
      config = read_config_file(*options.config_file);
    } catch (const std::exception& e) {
      std::cerr << program << ": bad configuration file " << e.what() << std::endl;
      return 2;
    }
  } else {
    options.state_dir = vm.count("state-dir") ? vm["state-dir"].as<std::string>() : default_state_dir();
    boost::system::error_code error;
    fs::create_directories(options.state_dir, error);
    if (error) {
      std::cerr << program << ": cannot create " << options.state_dir << ": " << error.message() << std::endl;
      return 2;
    }
    config = embedded_config(fs::absolute(options.state_dir).lexically_normal().string());
  }
  if (::access(options.daemon.c_str(), X_OK) != 0) {
    std::cerr << program << ": cannot run " << options.daemon << ": " << std::strerror(errno) << std::endl;
    return 2;
  }

  std::cout << program << ": spool directory " << config.spool_dir() << "\n"
            << program << ": sorter socket " << config.sorter_socket_path() << "\n"
            << program << ": client socket " << config.client_socket_path() << std::endl;
  overseer_t overseer(std::move(options), std::move(config));
  return overseer.run();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << program << ": " << e.what() << std::endl;
    return 1;
  }
}
