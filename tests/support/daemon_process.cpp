#include "daemon_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
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

// The environment of the child: ours, less the variables the test sets.
std::vector<std::string> child_environment(const std::vector<std::string>& extra) {
  std::vector<std::string> result;
  auto overridden = [&](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "COM_ORVANE_MONITOR" || name == "COM_ORVANE_ADD_LOG_PIPE") return true;
    for (const auto& e : extra)
      if (e.substr(0, e.find('=')) == name) return true;
    return false;
  };
  for (char** e = environ; *e; ++e)
    if (!overridden(*e)) result.emplace_back(*e);
  result.insert(result.end(), extra.begin(), extra.end());
  return result;
}

std::vector<char*> c_strings(std::vector<std::string>& v) {
  std::vector<char*> result;
  for (auto& s : v) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

temp_dir_t::temp_dir_t(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + ".XXXXXX";
  if (!::mkdtemp(pattern.data())) throw_errno("mkdtemp");
  path_ = pattern;
}

temp_dir_t::~temp_dir_t() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
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

daemon_process_t::daemon_process_t(daemon_options_t options) {
  if (options.program.empty()) throw std::invalid_argument("daemon_process_t: no program");

  int pair[2] = {-1, -1};
  if (options.monitor) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw_errno("socketpair");
  }
  util::unique_fd_t ours(pair[0]), theirs(pair[1]);
  if (!options.monitor) ours.release(), theirs.release();

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw_errno("pipe2");
  util::unique_fd_t out_read(out[0]), out_write(out[1]);
  int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0) throw_errno("open /dev/null");
  util::unique_fd_t null_in(null_fd);

  std::vector<std::string> extra = options.env;
  if (options.monitor) {
    extra.push_back("COM_ORVANE_MONITOR=" + options.monitor_value.value_or(std::to_string(theirs.get())));
  } else if (options.monitor_value) {
    extra.push_back("COM_ORVANE_MONITOR=" + *options.monitor_value);
  }
  std::vector<std::string> env = child_environment(extra);
  std::vector<std::string> argv_strings{options.program};
  argv_strings.insert(argv_strings.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv = c_strings(argv_strings);
  std::vector<char*> envp = c_strings(env);
  const int child_monitor = theirs.get();
  const bool capture_stdout = options.capture_stdout;

  pid_t pid = ::fork();
  if (pid < 0) throw_errno("fork");
  if (pid == 0) {
    // Only async-signal-safe calls from here to execve.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    dup2(null_fd, 0);
    if (capture_stdout) dup2(out[1], 1);
    dup2(out[1], 2);
    if (child_monitor >= 0) fcntl(child_monitor, F_SETFD, 0);
    execve(argv[0], argv.data(), envp.data());
    const char msg[] = "daemon_process_t: execve failed\n";
    ssize_t ignored = write(2, msg, sizeof(msg) - 1);
    (void)ignored;
    _exit(127);
  }
  pid_ = pid;
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  monitor_ = ours.release();
  out_write.reset();
  if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
  int read_end = out_read.release();
  collector_ = std::thread([this, read_end] { collect(read_end); });
}

daemon_process_t::~daemon_process_t() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (monitor_ >= 0) ::close(monitor_);
  // The output may stay open in a grandchild; give it a moment, then stop
  // the collector regardless.
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5), [this] { return output_closed_; });
  }
  if (stop_pipe_[1] >= 0) {
    char c = 0;
    ssize_t ignored = ::write(stop_pipe_[1], &c, 1);
    (void)ignored;
  }
  collector_.join();
  if (stop_pipe_[0] >= 0) ::close(stop_pipe_[0]);
  if (stop_pipe_[1] >= 0) ::close(stop_pipe_[1]);
  if (pidfd_ >= 0) ::close(pidfd_);
  if (::testing::Test::HasFailure()) {
    std::cerr << "---- output of " << pid_ << " ----\n" << output() << "---- end of output ----" << std::endl;
  }
}

void daemon_process_t::collect(int fd) {
  std::string partial;
  char buffer[4096];
  pollfd fds[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
  const nfds_t count = stop_pipe_[0] >= 0 ? 2 : 1;
  for (;;) {
    int r = ::poll(fds, count, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (count == 2 && fds[1].revents) break;
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    partial.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0, nl;
    std::vector<std::string> complete;
    while ((nl = partial.find('\n', start)) != std::string::npos) {
      complete.push_back(partial.substr(start, nl - start));
      start = nl + 1;
    }
    partial.erase(0, start);
    if (!complete.empty()) {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& line : complete) lines_.push_back(std::move(line));
      changed_.notify_all();
    }
  }
  ::close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!partial.empty()) lines_.push_back(partial);
  output_closed_ = true;
  changed_.notify_all();
}

std::optional<daemon_process_t::in_message_t> daemon_process_t::read_message(int timeout_ms) {
  if (monitor_ < 0) throw std::runtime_error("read_message: no monitor channel");
  std::string body;
  util::unique_fd_t fd;
  try {
    if (!util::read_frame(monitor_, body, fd, timeout_ms)) return std::nullopt;
  } catch (const std::system_error& e) {
    // A peer that dies with our data unread resets the connection.
    if (e.code() == std::errc::connection_reset) return std::nullopt;
    throw;
  }
  in_message_t message;
  if (!message.ParseFromString(body)) throw std::runtime_error("read_message: the frame does not parse");
  return message;
}

daemon_process_t::in_message_t daemon_process_t::wait_message(in_message_t::Tag tag, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) left = std::chrono::milliseconds(0);
    auto message = read_message(static_cast<int>(left.count()));
    if (!message) throw std::runtime_error("wait_message: the daemon closed the monitor channel");
    if (message->tag() == tag) return *message;
    if (message->tag() == in_message_t::MY_STAT_NOTIFICATION) continue;
    throw std::runtime_error("wait_message: expected " + in_message_t::Tag_Name(tag) + ", got " +
                             message->ShortDebugString());
  }
}

void daemon_process_t::answer_config(const ov::MailQuarantineConfig& config, std::uint32_t revision, int timeout_ms) {
  wait_message(in_message_t::GET_CONFIG_REQUEST, timeout_ms);
  send_config(config, revision);
}

void daemon_process_t::send_config(const ov::MailQuarantineConfig& config, std::uint32_t revision) {
  out_message_t message;
  message.set_tag(out_message_t::GET_CONFIG_RESPONSE);
  message.set_config_revision(revision);
  *message.mutable_config() = config;
  send_message(message);
}

void daemon_process_t::send_message(const out_message_t& message) {
  std::string body;
  if (!message.SerializeToString(&body)) throw std::runtime_error("send_message: cannot serialize");
  send_frame(body);
}

void daemon_process_t::send_frame(const std::string& body) {
  if (monitor_ < 0) throw std::runtime_error("send_frame: no monitor channel");
  util::write_frame(monitor_, body);
}

void daemon_process_t::send_bytes(const void* data, std::size_t size) {
  if (monitor_ < 0) throw std::runtime_error("send_bytes: no monitor channel");
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(monitor_, p, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno("send");
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

void daemon_process_t::close_monitor() {
  if (monitor_ >= 0) ::close(monitor_);
  monitor_ = -1;
}

void daemon_process_t::send_signal(int signal) {
  if (status_) throw std::runtime_error("send_signal: the process has ended");
  if (::kill(pid_, signal) != 0) throw_errno("kill");
}

bool daemon_process_t::wait_log(const std::string& text, int timeout_ms, std::size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto enough = [&] {
    std::size_t n = 0;
    for (const auto& line : lines_)
      if (line.find(text) != std::string::npos) ++n;
    return n >= count;
  };
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return enough() || output_closed_; }) &&
         enough();
}

std::size_t daemon_process_t::count_log(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const auto& line : lines_)
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

std::string daemon_process_t::output() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string result;
  for (const auto& line : lines_) result += line + "\n";
  return result;
}

int daemon_process_t::wait_exit(int timeout_ms) {
  if (status_) return *status_;
  if (pidfd_ >= 0) {
    pollfd p{pidfd_, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      int r = ::poll(&p, 1, static_cast<int>(std::max<long>(0, left.count())));
      if (r > 0) break;
      if (r == 0) throw std::runtime_error("wait_exit: the process did not end in time");
      if (errno != EINTR) throw_errno("poll pidfd");
    }
  }
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) throw_errno("waitpid");
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // Let the collector take the last lines the process wrote.
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(std::min(timeout_ms, 10000)), [this] { return output_closed_; });
  return *status_;
}

}  // namespace mq::test
