#include "supervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "config_file.h"
#include "journal_log.h"
#include "metrics/exposition.h"
#include "metrics/socket_clients.h"
#include "metrics/spool_space.h"
#include "ov/error.h"
#include "overseer_mail_quarantine_ipc.pb.h"

namespace mq::overseer_tool {

namespace {

using in_t = ov::MailQuarantine2OverseerMessage;
using out_t = ov::Overseer2MailQuarantineMessage;

// Longest a scrape waits for the daemon's answers.
constexpr std::chrono::seconds probe_limit(5);

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
    log(level_t::warning, path + " is in use by another process");
    return;
  }
  if (error == ECONNREFUSED && ::unlink(path.c_str()) == 0) log(level_t::info, "removed stale socket " + path);
}

std::string status_text(int status) { return std::to_string(status) + " (" + ov::error_code_name(status) + ")"; }

std::string signal_text(int signal) {
  const char* abbrev = ::sigabbrev_np(signal);
  return std::to_string(signal) + (abbrev ? std::string(" (SIG") + abbrev + ")" : std::string());
}

std::string seconds_text(std::chrono::milliseconds d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g s", static_cast<double>(d.count()) / 1000);
  return buf;
}

double wall_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

supervisor_t::supervisor_t(options_t options, ov::MailQuarantineConfig config)
    : options_(std::move(options)),
      config_(std::move(config)),
      signals_(io_),
      restart_timer_(io_),
      policy_(options_.restart),
      probe_(
          io_, [this] { return config_.client_socket_path(); }, probe_limit),
      notify_(io_, [](const std::string& text) { log(level_t::warning, text); }) {}

supervisor_t::~supervisor_t() = default;

int supervisor_t::run() {
  for (int s : {SIGHUP, SIGTERM, SIGINT, SIGCHLD}) signals_.add(s);
  // Blocked by main() until it is handled here.
  sigset_t hangup;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  ::sigprocmask(SIG_UNBLOCK, &hangup, nullptr);
  wait_signal();
  if (options_.metrics_address) {
    http_ = std::make_unique<metrics::http_server_t>(
        io_, *options_.metrics_address, [this](metrics::http_server_t::respond_t r) { serve_metrics(std::move(r)); });
    log(level_t::info, "metrics on " + http::server_t::url(http_->endpoint()) + "/metrics");
  }
  start_daemon();
  io_.run();
  return result_;
}

void supervisor_t::start_daemon() {
  remove_stale_socket(config_.sorter_socket_path());
  remove_stale_socket(config_.client_socket_path());
  policy_.started(restart_policy_t::clock_t::now());

  // Out of descriptors or processes (anyone can fill the metrics port):
  // a failed start like any other, tried again later.
  const auto cannot = [this](const char* call) {
    restart_later(std::string("cannot start the daemon: ") + call + ": " + std::strerror(errno), "exited");
  };
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return cannot("socketpair");
  const int theirs = pair[1];

  // The daemon finds its end of the channel named in its environment. It
  // does not get systemd's socket: only the supervisor speaks for the unit.
  std::vector<std::string> env{"COM_ORVANE_MONITOR=" + std::to_string(theirs)};
  for (char** e = environ; *e; ++e) {
    const std::string name(*e, std::strcspn(*e, "="));
    if (name != "COM_ORVANE_MONITOR" && !notify::notifier_t::is_own_variable(name)) env.emplace_back(*e);
  }
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string path = options_.daemon;
  char* argv[] = {path.data(), nullptr};

  const std::string failed = std::string(using_journal() ? "<3>" : "") + "mq-overseer: cannot start the daemon\n";
  pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(pair[0]);
    ::close(theirs);
    errno = error;
    return cannot("fork");
  }
  if (pid == 0) {
    // The daemon's end is inherited; ours is close-on-exec.
    ::fcntl(theirs, F_SETFD, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv, envp.data());
    ssize_t ignored = ::write(2, failed.data(), failed.size());
    (void)ignored;
    ::_exit(127);
  }
  ::close(theirs);
  pid_ = pid;
  announced_ = false;
  last_info_.reset();
  last_clients_.reset();
  log(level_t::info, "started " + options_.daemon + " (pid " + std::to_string(pid) + ")");

  net::local_ipc_link_t::socket_t socket(io_);
  socket.assign(boost::asio::local::stream_protocol(), pair[0]);
  link_ =
      std::make_unique<net::local_ipc_link_t>(std::move(socket), static_cast<net::local_ipc_link_t::delegate_t*>(this));
}

void supervisor_t::wait_signal() {
  signals_.async_wait([this](const boost::system::error_code& error, int signal) {
    if (error) return;
    on_signal(signal);
    if (!done_) wait_signal();
  });
}

void supervisor_t::on_signal(int signal) {
  switch (signal) {
    case SIGHUP:
      if (options_.config_file) {
        try {
          config_ = read_config_file(*options_.config_file);
          log(level_t::notice, "re-read " + *options_.config_file);
        } catch (const std::exception& e) {
          // The daemon keeps what it has; it is not even asked again.
          log(level_t::error, std::string(e.what()) + "; keeping the previous configuration");
          if (ready_sent_ && !ready_at_) {
            reloading("reading " + *options_.config_file);
            notify_.ready("cannot read " + *options_.config_file + "; the daemon keeps its configuration");
          }
          break;
        }
      }
      // Every revision handed out from now on carries what was just read.
      reloading("reloading: waiting for configuration revision " + std::to_string(revision_ + 1));
      ready_at_ = revision_ + 1;
      // A daemon without its configuration may not handle SIGHUP yet, and
      // asks for the configuration anyway: it hears of the reload once it
      // has announced one.
      if (pid_ > 0 && announced_) {
        ::kill(pid_, SIGHUP);
      } else {
        reload_pending_ = true;
      }
      break;
    case SIGTERM:
    case SIGINT:
      stopping_ = true;
      notify_.stopping();
      if (pid_ > 0) {
        ::kill(pid_, signal);
      } else if (waiting_) {
        log(level_t::notice, "stopped while waiting to restart the daemon");
        finish(0);
      }
      break;
    case SIGCHLD:
      reap();
      break;
  }
}

void supervisor_t::reap() {
  if (pid_ <= 0) return;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r != pid_) return;
  pid_ = -1;
  link_.reset();
  sample_.up = false;
  if (WIFSIGNALED(status)) {
    const std::string what = "daemon killed by signal " + signal_text(WTERMSIG(status));
    if (stopping_) {
      log(level_t::notice, what);
      finish(128 + WTERMSIG(status));
    } else {
      restart_later(what, "killed");
    }
    return;
  }
  const int code = WEXITSTATUS(status);
  const std::string what = "daemon exited with status " + status_text(code);
  if (stopping_) {
    log(level_t::notice, what);
    finish(code == ov::EC_APP_TERMINATED || code == 0 ? 0 : code);
  } else if (code == 0 && announced_) {
    // It asked for a new process, to apply what it cannot change live.
    log(level_t::notice, what + ", restarting");
    count_restart("requested");
    start_daemon();
  } else if (code == ov::EC_BAD_CONFIG) {
    // The same configuration would fail again: up to the administrator.
    log(level_t::error, what + ": it cannot apply the configuration; not restarting");
    finish(code);
  } else {
    restart_later(code == 0 ? what + " before it was ready" : what, "exited");
  }
}

void supervisor_t::restart_later(const std::string& what, const char* reason) {
  const auto delay = policy_.failed(restart_policy_t::clock_t::now());
  const auto& limits = policy_.limits();
  if (!delay) {
    log(level_t::error, what + "; it failed " + std::to_string(policy_.failures()) + " times in a row, each within " +
                            seconds_text(limits.healthy_after) + " of its start: giving up");
    finish(1);
    return;
  }
  log(level_t::warning, what + "; restarting in " + seconds_text(*delay) + " (failure " +
                            std::to_string(policy_.failures()) + " of " + std::to_string(limits.give_up_after) + ")");
  waiting_ = true;
  restart_timer_.expires_after(*delay);
  restart_timer_.async_wait([this, reason](const boost::system::error_code& error) {
    if (error || done_) return;
    waiting_ = false;
    count_restart(reason);
    start_daemon();
  });
}

void supervisor_t::count_restart(const char* reason) {
  ++sample_.restarts[reason];
  sample_.last_restart_time = wall_seconds();
}

void supervisor_t::finish(int result) {
  notify_.stopping();
  result_ = result;
  done_ = true;
  signals_.cancel();
  restart_timer_.cancel();
  http_.reset();
}

void supervisor_t::serve_metrics(metrics::http_server_t::respond_t respond) {
  // Counted before the probe connects, which would count itself.
  const auto clients = metrics::count_clients(config_.sorter_socket_path(), config_.client_socket_path());
  probe_.get([this, clients, respond = std::move(respond)](const util::result_t<metrics::queue_sample_t>& r) {
    const auto now = static_cast<std::uint64_t>(std::time(nullptr));
    const metrics::queue_sample_t* queue = util::has_value(r) ? &boost::get<metrics::queue_sample_t>(r) : nullptr;
    if (!queue && options_.verbose) {
      try {
        std::rethrow_exception(util::error_of(r));
      } catch (const std::exception& e) {
        log(level_t::debug, std::string("metrics: ") + e.what());
      }
    }
    sample_.spool = metrics::read_spool_space(config_.spool_dir());
    sample_.probe_seconds = probe_.last_seconds();
    respond(metrics::render(queue, clients, &sample_, now));
  });
}

void supervisor_t::reloading(const std::string& status) {
  // Before the first READY=1 the start itself is still going on.
  if (ready_sent_) notify_.reloading(status);
}

void supervisor_t::announced(std::uint32_t revision) {
  if (!ready_at_ || revision < *ready_at_) return;
  ready_at_.reset();
  ready_sent_ = true;
  notify_.ready("daemon ready with configuration revision " + std::to_string(revision));
}

void supervisor_t::on_message(const std::uint8_t* data, std::uint32_t size, util::unique_fd_t) {
  in_t message;
  if (!message.ParseFromArray(data, static_cast<int>(size))) {
    log(level_t::error, "malformed message from the daemon");
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
      if (options_.verbose) log(level_t::debug, "sent configuration revision " + std::to_string(revision_));
      break;
    }
    case in_t::MY_INFO_NOTIFICATION:
      announced_ = true;
      sample_.up = true;
      sample_.config_revision = message.config_revision();
      if (options_.verbose || last_info_ != message.config_revision())
        log(level_t::notice, "daemon ready with configuration revision " + std::to_string(message.config_revision()));
      last_info_ = message.config_revision();
      announced(message.config_revision());
      if (reload_pending_) {
        reload_pending_ = false;
        ::kill(pid_, SIGHUP);
      }
      break;
    case in_t::MY_STAT_NOTIFICATION:
      ++sample_.stat_reports;
      sample_.reported_clients = message.stat().clients();
      if (options_.verbose || last_clients_ != message.stat().clients())
        log(level_t::info, "clients " + std::to_string(message.stat().clients()));
      last_clients_ = message.stat().clients();
      break;
  }
}

void supervisor_t::on_error(std::exception_ptr) {
  // The daemon closed the channel; its exit status comes with SIGCHLD.
  link_.reset();
}

}  // namespace mq::overseer_tool
