#include "daemon_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <boost/filesystem.hpp>

#include "overseer_mail_quarantine_ipc.pb.h"
#include "util/frame_io.h"

extern char** environ;

namespace mq::bench {

namespace {

constexpr int exit_on_sigterm = 107;

[[noreturn]] void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string tail_of(const std::string& path, size_t lines) {
  std::ifstream in(path);
  std::deque<std::string> last;
  std::string line;
  while (std::getline(in, line)) {
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

daemon_runner_t::daemon_runner_t(std::string daemon_path, std::string work_dir, std::string spool_dir, int log_level)
    : daemon_path_(std::move(daemon_path)),
      work_dir_(std::move(work_dir)),
      spool_dir_(std::move(spool_dir)),
      sorter_socket_(work_dir_ + "/sorter.sock"),
      client_socket_(work_dir_ + "/client.sock"),
      log_path_(work_dir_ + "/daemon.log"),
      stderr_path_(work_dir_ + "/daemon.stderr"),
      log_level_(log_level) {}

daemon_runner_t::~daemon_runner_t() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  if (supervisor_.joinable()) supervisor_.join();
}

void daemon_runner_t::start(int timeout_ms) {
  if (pid_ > 0) throw std::logic_error("daemon already running");
  if (supervisor_.joinable()) supervisor_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = false;
    gone_ = false;
    failure_.clear();
  }
  // Socket files of an earlier run would make the daemon's bind fail.
  ::unlink(sorter_socket_.c_str());
  ::unlink(client_socket_.c_str());

  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) throw_errno("socketpair");
  monitor_ = mq::util::unique_fd_t(sv[0]);
  mq::util::unique_fd_t child_end(sv[1]);

  int err = ::open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (err < 0) throw_errno("open " + stderr_path_);
  mq::util::unique_fd_t err_fd(err);

  // Everything the child needs is prepared before fork: only
  // async-signal-safe calls may follow it.
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "COM_ORVANE_", 11) == 0) continue;
    env_strings.emplace_back(*e);
  }
  env_strings.push_back("COM_ORVANE_MONITOR=" + std::to_string(child_end.get()));
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string path = daemon_path_;
  char* argv[] = {path.data(), nullptr};

  pid_t pid = ::fork();
  if (pid < 0) throw_errno("fork");
  if (pid == 0) {
    int fd = child_end.get();
    ::fcntl(fd, F_SETFD, 0);
    ::dup2(err_fd.get(), 1);
    ::dup2(err_fd.get(), 2);
    ::execve(argv[0], argv, envp.data());
    _exit(127);
  }
  pid_ = pid;
  child_end.reset();
  err_fd.reset();
  supervisor_ = std::thread([this] { supervise(); });

  std::unique_lock<std::mutex> lock(mutex_);
  bool done = changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return ready_ || gone_; });
  if (ready_) return;
  std::string why = !done ? "no configuration applied within " + std::to_string(timeout_ms) + " ms"
                          : "daemon left before it was ready" + (failure_.empty() ? "" : ": " + failure_);
  lock.unlock();
  ::kill(pid_, SIGKILL);
  int status = wait_exit(timeout_ms);
  throw std::runtime_error(why + " (" + describe_status(status) + ")\n" + diagnostics());
}

void daemon_runner_t::supervise() {
  std::string failure;
  try {
    for (;;) {
      std::string body;
      mq::util::unique_fd_t fd;
      if (!mq::util::read_frame(monitor_.get(), body, fd)) break;
      ov::MailQuarantine2OverseerMessage in;
      if (!in.ParseFromString(body)) throw std::runtime_error("invalid message on the monitor channel");
      switch (in.tag()) {
        case ov::MailQuarantine2OverseerMessage::GET_CONFIG_REQUEST: {
          ov::Overseer2MailQuarantineMessage out;
          out.set_tag(ov::Overseer2MailQuarantineMessage::GET_CONFIG_RESPONSE);
          {
            std::lock_guard<std::mutex> lock(mutex_);
            out.set_config_revision(++revision_);
          }
          auto* config = out.mutable_config();
          config->set_log_level(static_cast<ov::LogLevel>(log_level_));
          auto* log = config->mutable_actual_log();
          log->set_type(ov::Log::FILE);
          log->set_path(log_path_);
          *config->mutable_log() = *log;
          config->mutable_run_as_user()->set_uid(::getuid());
          config->set_spool_dir(spool_dir_);
          config->set_sorter_socket_path(sorter_socket_);
          config->set_client_socket_path(client_socket_);
          mq::util::write_frame(monitor_.get(), out.SerializeAsString());
          break;
        }
        case ov::MailQuarantine2OverseerMessage::MY_INFO_NOTIFICATION: {
          std::lock_guard<std::mutex> lock(mutex_);
          if (in.config_revision() == revision_) ready_ = true;
          changed_.notify_all();
          break;
        }
        case ov::MailQuarantine2OverseerMessage::MY_STAT_NOTIFICATION:
          break;
      }
    }
  } catch (const std::exception& e) {
    failure = e.what();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  gone_ = true;
  failure_ = failure;
  changed_.notify_all();
}

int daemon_runner_t::wait_exit(int timeout_ms) {
  int status = 0;
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    int r;
    while ((r = ::poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    ::close(pidfd);
    if (r == 0) ::kill(pid_, SIGKILL);
  }
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) throw_errno("waitpid");
  }
  pid_ = -1;
  if (supervisor_.joinable()) supervisor_.join();
  monitor_.reset();
  return status;
}

void daemon_runner_t::stop(int timeout_ms) {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = wait_exit(timeout_ms);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != exit_on_sigterm)
    throw std::runtime_error("daemon stopped with " + describe_status(status) + " instead of exit status 107\n" +
                             diagnostics());
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
  return "daemon log " + log_path_ + ":\n" + tail_of(log_path_, 20) + "daemon stderr " + stderr_path_ + ":\n" +
         tail_of(stderr_path_, 20);
}

}  // namespace mq::bench
