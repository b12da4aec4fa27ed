#include "daemon_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include <google/protobuf/util/json_util.h>
#include <boost/filesystem.hpp>

#include "mail_quarantine_config.pb.h"
#include "tool_runner.h"

namespace mq::bench {

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string tail_of(const std::string& path, size_t lines) {
  std::istringstream in(file_text(path));
  std::deque<std::string> last;
  for (std::string line; std::getline(in, line);) {
    last.push_back(line);
    if (last.size() > lines) last.pop_front();
  }
  std::string out;
  for (const auto& l : last) out += "  " + l + "\n";
  return out;
}

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace

daemon_runner_t::daemon_runner_t(std::string daemon_path, const std::string& work_dir, const std::string& spool_dir,
                                 int log_level)
    : daemon_path_(std::move(daemon_path)),
      // The configuration takes absolute paths only.
      work_dir_(boost::filesystem::absolute(work_dir).string()),
      spool_dir_(boost::filesystem::absolute(spool_dir).string()),
      sorter_socket_(work_dir_ + "/sorter.sock"),
      client_socket_(work_dir_ + "/client.sock"),
      log_path_(work_dir_ + "/daemon.log"),
      output_path_(work_dir_ + "/overseer.out"),
      log_level_(log_level) {}

daemon_runner_t::~daemon_runner_t() {
  if (overseer_ <= 0) return;
  if (pid_ > 0) ::kill(pid_, SIGKILL);
  ::kill(overseer_, SIGKILL);
  while (::waitpid(overseer_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void daemon_runner_t::start(int timeout_ms) {
  if (overseer_ > 0) throw std::logic_error("daemon already running");
  ov::MailQuarantineConfig config;
  config.set_log_level(static_cast<ov::LogLevel>(log_level_));
  config.mutable_actual_log()->set_type(ov::Log::FILE);
  config.mutable_actual_log()->set_path(log_path_);
  *config.mutable_log() = config.actual_log();
  config.mutable_run_as_user()->set_uid(::getuid());
  config.set_spool_dir(spool_dir_);
  config.set_sorter_socket_path(sorter_socket_);
  config.set_client_socket_path(client_socket_);
  std::string json;
  if (!google::protobuf::util::MessageToJsonString(config, &json).ok()) throw std::runtime_error("no configuration");
  const std::string config_path = work_dir_ + "/config.json";
  std::ofstream(config_path) << json;

  // Started once: a daemon that dies ends the run instead of being
  // replaced behind the figures' back.
  std::vector<std::string> words{MQ_OVERSEER_PATH, "--daemon",        daemon_path_, "--config",
                                 config_path,      "--give-up-after", "1"};
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  // Nothing of a supervisor around the benchmark reaches the daemon.
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "COM_ORVANE_", 11) != 0) envp.push_back(*e);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int spawned = ::posix_spawn(&overseer_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    overseer_ = -1;
    throw std::runtime_error(std::string("cannot start mq-overseer: ") + std::strerror(spawned));
  }

  const std::string started = "mq-overseer: started " + daemon_path_ + " (pid ";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const std::string out = file_text(output_path_);
    if (const auto at = out.find(started); at != std::string::npos && pid_ <= 0)
      pid_ = static_cast<pid_t>(std::stol(out.substr(at + started.size())));
    if (out.find("mq-overseer: daemon ready with configuration revision 1\n") != std::string::npos) return;
    std::string why;
    if (::waitpid(overseer_, nullptr, WNOHANG) == overseer_) {
      overseer_ = pid_ = -1;
      why = "daemon left before it was ready";
    } else if (std::chrono::steady_clock::now() > deadline) {
      why = "no configuration applied within " + std::to_string(timeout_ms) + " ms";
      wait_exit(0);
    }
    if (!why.empty()) throw std::runtime_error(why + "\n" + diagnostics());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int daemon_runner_t::wait_exit(int timeout_ms) {
  int status = 0;
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, overseer_, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    int r;
    while ((r = ::poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    ::close(pidfd);
    if (r == 0) {
      if (pid_ > 0) ::kill(pid_, SIGKILL);
      ::kill(overseer_, SIGKILL);
    }
  }
  while (::waitpid(overseer_, &status, 0) < 0) {
    if (errno != EINTR) throw_errno("waitpid");
  }
  overseer_ = pid_ = -1;
  return status;
}

void daemon_runner_t::stop(int timeout_ms) {
  if (overseer_ <= 0) return;
  ::kill(overseer_, SIGTERM);
  const int status = wait_exit(timeout_ms);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      file_text(output_path_).find("daemon exited with status 107 ") == std::string::npos)
    throw std::runtime_error("daemon stopped otherwise than with exit status 107 (mq-overseer: " +
                             describe_status(status) + ")\n" + diagnostics());
}

long daemon_runner_t::peak_rss_kib() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  throw std::runtime_error("no VmHWM for process " + std::to_string(pid_));
}

void daemon_runner_t::reset_peak_rss() const {
  std::ofstream out("/proc/" + std::to_string(pid_) + "/clear_refs");
  out << "5";
  out.flush();
  if (!out) throw std::runtime_error("cannot reset the peak resident set of process " + std::to_string(pid_));
}

double daemon_runner_t::cpu_seconds() const {
  std::string task_dir = "/proc/" + std::to_string(pid_) + "/task";
  double total = 0;
  for (const auto& task : boost::filesystem::directory_iterator(task_dir)) {
    std::ifstream in(task.path().string() + "/schedstat");
    unsigned long long on_cpu_ns = 0;
    // A thread that ended meanwhile has no file any more; its time is lost.
    if (in >> on_cpu_ns) total += static_cast<double>(on_cpu_ns) * 1e-9;
  }
  return total;
}

std::string daemon_runner_t::diagnostics() const {
  return "daemon log " + log_path_ + ":\n" + tail_of(log_path_, 20) + "mq-overseer and daemon output " + output_path_ +
         ":\n" + tail_of(output_path_, 20);
}

}  // namespace mq::bench
