#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include <gtest/gtest.h>

#include "util/frame_io.h"
#include "util/unique_fd.h"

extern char** environ;

namespace mq::test {

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string name_of(const std::string& entry) { return entry.substr(0, entry.find('=')); }

void make_pipe(util::unique_fd_t& read_end, util::unique_fd_t& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw_errno("pipe2");
  read_end = util::unique_fd_t(fds[0]);
  write_end = util::unique_fd_t(fds[1]);
}

// Forks and executes `c` with standard output and error on `out` and `err`;
// `keep` (unless -1) stays open across the exec.
pid_t spawn(const command_t& c, int out, int err, int keep) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string name = name_of(*e);
    if (std::none_of(c.env.begin(), c.env.end(), [&](const std::string& x) { return name_of(x) == name; }))
      env.emplace_back(*e);
  }
  for (const auto& e : c.env)
    if (e.find('=') != std::string::npos) env.push_back(e);
  std::vector<std::string> args{c.argv0.empty() ? c.path : c.argv0};
  args.insert(args.end(), c.args.begin(), c.args.end());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0) throw_errno("open /dev/null");

  const pid_t pid = ::fork();
  if (pid < 0) throw_errno("fork");
  if (pid == 0) {
    // Only async-signal-safe calls from here to the exec.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (dup2(null_fd, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    if (keep >= 0) fcntl(keep, F_SETFD, 0);
    if (!c.cwd.empty() && chdir(c.cwd.c_str()) != 0) _exit(126);
    execve(c.path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  ::close(null_fd);
  return pid;
}

int wait_status(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) throw_errno("waitpid");
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

program_result_t run_program(const command_t& command) {
  util::unique_fd_t out_read, out_write, err_read, err_write;
  make_pipe(out_read, out_write);
  make_pipe(err_read, err_write);
  const pid_t pid = spawn(command, out_write.get(), err_write.get(), -1);
  out_write.reset();
  err_write.reset();

  program_result_t result;
  pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  const auto deadline = std::chrono::steady_clock::now() + wait_limit();
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)) {
      ::kill(pid, SIGKILL);
      wait_status(pid);
      throw std::runtime_error(command.path + " did not end in time; output so far: " + result.out + result.err);
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
      }
    }
  }
  result.status = wait_status(pid);
  return result;
}

ov::MailQuarantineConfig make_test_config(const std::string& dir) {
  ov::MailQuarantineConfig config;
  config.set_log_level(ov::LOG_LEVEL_DEBUG);
  config.mutable_actual_log()->set_type(ov::Log::STDERR);
  config.mutable_run_as_user()->set_uid(::getuid());
  config.set_spool_dir(dir + "/spool");
  config.set_sorter_socket_path(dir + "/sorter.sock");
  config.set_client_socket_path(dir + "/client.sock");
  return config;
}

daemon_process_t::daemon_process_t(const command_t& command) {
  command_t c = command;
  util::unique_fd_t ours, theirs;
  if (std::none_of(c.env.begin(), c.env.end(),
                   [](const std::string& e) { return name_of(e) == "COM_ORVANE_MONITOR"; })) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw_errno("socketpair");
    ours = util::unique_fd_t(pair[0]);
    theirs = util::unique_fd_t(pair[1]);
    c.env.push_back("COM_ORVANE_MONITOR=" + std::to_string(theirs.get()));
  }
  c.env.push_back("COM_ORVANE_ADD_LOG_PIPE");
  util::unique_fd_t out_read, out_write;
  make_pipe(out_read, out_write);
  if (::pipe2(stop_, O_CLOEXEC) != 0) throw_errno("pipe2");
  pid_ = spawn(c, out_write.get(), out_write.get(), theirs.get());
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  monitor_ = ours.release();
  collector_ = std::thread([this, fd = out_read.release()] { collect(fd); });
}

daemon_process_t::~daemon_process_t() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    status_ = wait_status(pid_);
  }
  close_monitor();
  {
    // A grandchild may hold the output a little longer.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, wait_limit(std::chrono::seconds(5)), [this] { return output_closed_; });
  }
  const char c = 0;
  if (::write(stop_[1], &c, 1) < 0) std::cerr << "cannot stop the output collector\n";
  collector_.join();
  for (int fd : {stop_[0], stop_[1], pidfd_})
    if (fd >= 0) ::close(fd);
  if (::testing::Test::HasFailure())
    std::cerr << "---- output of " << pid_ << " ----\n" << output() << "---- end of output ----" << std::endl;
}

void daemon_process_t::collect(int fd) {
  std::string partial;
  pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    partial.append(buffer, static_cast<std::size_t>(n));
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos; partial.erase(0, nl + 1))
      lines_.push_back(partial.substr(0, nl));
    changed_.notify_all();
  }
  ::close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!partial.empty()) lines_.push_back(partial);
  output_closed_ = true;
  changed_.notify_all();
}

std::optional<daemon_process_t::in_message_t> daemon_process_t::read_message(std::chrono::milliseconds limit) {
  if (monitor_ < 0) return std::nullopt;
  std::string body;
  util::unique_fd_t fd;
  try {
    if (!util::read_frame(monitor_, body, fd, static_cast<int>(limit.count()))) return std::nullopt;
  } catch (const std::system_error& e) {
    // A peer that dies with our data unread resets the connection.
    if (e.code() == std::errc::connection_reset) return std::nullopt;
    throw;
  }
  in_message_t message;
  if (!message.ParseFromString(body)) throw std::runtime_error("read_message: the frame does not parse");
  return message;
}

daemon_process_t::in_message_t daemon_process_t::wait_message(in_message_t::Tag tag) {
  const auto deadline = std::chrono::steady_clock::now() + wait_limit();
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    auto message = read_message(std::max(left, std::chrono::milliseconds(0)));
    if (!message) throw std::runtime_error("wait_message: the daemon closed the monitor channel");
    if (message->tag() == tag) return *message;
    if (message->tag() != in_message_t::MY_STAT_NOTIFICATION)
      throw std::runtime_error("wait_message: expected " + in_message_t::Tag_Name(tag) + ", got " +
                               message->ShortDebugString());
  }
}

bool daemon_process_t::wait_clients(std::uint32_t clients) {
  // Reports come every second; a count settles within a few.
  for (int i = 0; i < 10; ++i)
    if (wait_message(in_message_t::MY_STAT_NOTIFICATION).stat().clients() == clients) return true;
  return false;
}

void daemon_process_t::answer_config(const ov::MailQuarantineConfig& config, std::uint32_t revision) {
  wait_message(in_message_t::GET_CONFIG_REQUEST);
  send_config(config, revision);
}

void daemon_process_t::send_config(const ov::MailQuarantineConfig& config, std::uint32_t revision) {
  ov::Overseer2MailQuarantineMessage message;
  message.set_tag(ov::Overseer2MailQuarantineMessage::GET_CONFIG_RESPONSE);
  message.set_config_revision(revision);
  *message.mutable_config() = config;
  send_frame(message.SerializeAsString());
}

void daemon_process_t::send_frame(const std::string& body) { util::write_frame(monitor_, body); }

void daemon_process_t::send_bytes(const void* data, std::size_t size) {
  if (::send(monitor_, data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) throw_errno("send");
}

void daemon_process_t::close_monitor() {
  if (monitor_ >= 0) ::close(monitor_);
  monitor_ = -1;
}

void daemon_process_t::send_signal(int signal) {
  if (status_) throw std::runtime_error("send_signal: the process has ended");
  if (::kill(pid_, signal) != 0) throw_errno("kill");
}

bool daemon_process_t::wait_log(const std::string& text, std::size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto enough = [&] {
    return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
             return line.find(text) != std::string::npos;
           })) >= count;
  };
  return changed_.wait_for(lock, wait_limit(), [&] { return enough() || output_closed_; }) && enough();
}

std::size_t daemon_process_t::count_log(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      lines_.begin(), lines_.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

std::string daemon_process_t::output() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string result;
  for (const auto& line : lines_) result += line + "\n";
  return result;
}

int daemon_process_t::wait_exit() {
  if (status_) return *status_;
  pollfd p{pidfd_, POLLIN, 0};
  int r;
  while ((r = ::poll(&p, 1, static_cast<int>(wait_limit().count()))) < 0 && errno == EINTR) {
  }
  if (r == 0) throw std::runtime_error("wait_exit: the process did not end in time");
  status_ = wait_status(pid_);
  // The last lines it wrote.
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, wait_limit(), [this] { return output_closed_; });
  return *status_;
}

}  // namespace mq::test
