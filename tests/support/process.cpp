#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <sstream>
#include <system_error>

#include <google/protobuf/util/json_util.h>

extern char** environ;

namespace mq::test {

namespace {

std::string name_of(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// `keep` (unless -1) stays open across the exec.
pid_t spawn(const command_t& c, int out, int err, int keep, int in = -1) {
  std::vector<std::string> args{c.argv0.empty() ? c.path : c.argv0}, env;
  args.insert(args.end(), c.args.begin(), c.args.end());
  for (char** e = environ; *e; ++e)
    if (std::none_of(c.env.begin(), c.env.end(), [&](const std::string& x) { return name_of(x) == name_of(*e); }))
      env.emplace_back(*e);
  std::copy_if(c.env.begin(), c.env.end(), std::back_inserter(env),
               [](const std::string& e) { return e.find('=') != std::string::npos; });
  std::vector<char*> argv{nullptr}, envp{nullptr};
  for (auto& a : args) argv.insert(argv.end() - 1, a.data());
  for (auto& e : env) envp.insert(envp.end() - 1, e.data());
  const pid_t pid = ::fork();
  if (pid < 0) throw_errno("fork");
  if (pid == 0) {
    // Only async-signal-safe calls from here to the exec.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    const int in_fd = in >= 0 ? in : open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    if (keep >= 0) fcntl(keep, F_SETFD, 0);
    if (!c.cwd.empty() && chdir(c.cwd.c_str()) != 0) _exit(126);
    execve(c.path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
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
  // Output goes to anonymous files: nothing to drain while it runs.
  const util::unique_fd_t out = memory_file_fd(""), err = memory_file_fd(""), in = memory_file_fd(command.input);
  ::lseek(in.get(), 0, SEEK_SET);
  const util::unique_fd_t to(command.stdout_path.empty() ? -1
                                                         : ::open(command.stdout_path.c_str(), O_WRONLY | O_CLOEXEC));
  const pid_t pid =
      spawn(command, to.get() >= 0 ? to.get() : out.get(), err.get(), -1, command.input.empty() ? -1 : in.get());
  const util::unique_fd_t pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  pollfd p{pidfd.get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait_limit().count())) != 1) {
    ::kill(pid, SIGKILL);
    wait_status(pid);
    throw std::runtime_error(command.path + " did not end in time: " + read_fd(out.get()) + read_fd(err.get()));
  }
  return {wait_status(pid), read_fd(out.get()), read_fd(err.get())};
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

void write_config(const std::string& path, const ov::MailQuarantineConfig& config) {
  std::string json;
  if (!google::protobuf::util::MessageToJsonString(config, &json).ok()) throw std::runtime_error("config to JSON");
  write_file(path, json);
}

void write_script(const std::string& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body + "\n");
  if (::chmod(path.c_str(), 0755) != 0) throw_errno("chmod " + path);
}

std::size_t open_descriptors(pid_t pid) {
  const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
  return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

daemon_process_t::daemon_process_t(command_t c) {
  socket_pair_t pair;
  if (std::any_of(c.env.begin(), c.env.end(), [](const std::string& e) { return name_of(e) == "COM_ORVANE_MONITOR"; }))
    pair.a.reset(), pair.b.reset();
  else
    c.env.push_back("COM_ORVANE_MONITOR=" + std::to_string(pair.b.get()));
  c.env.push_back("COM_ORVANE_ADD_LOG_PIPE");
  out_ = memory_file_fd("");
  pid_ = spawn(c, out_.get(), out_.get(), pair.b.get());
  pidfd_ = util::unique_fd_t(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  monitor_ = std::move(pair.a);
}

daemon_process_t::~daemon_process_t() {
  if (!status_ && ::kill(pid_, SIGKILL) == 0) wait_status(pid_);
  if (::testing::Test::HasFailure())
    std::cerr << "---- output of " << pid_ << " ----\n" << output() << "---- end of output ----" << std::endl;
}

std::optional<daemon_process_t::in_message_t> daemon_process_t::read_message(std::chrono::milliseconds limit) {
  if (!monitor_) return std::nullopt;
  std::string body;
  util::unique_fd_t fd;
  try {
    if (!net::read_frame(monitor_.get(), body, fd, static_cast<int>(limit.count()))) return std::nullopt;
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
    if (!message)
      throw std::runtime_error("wait_message: the daemon closed the monitor channel; it wrote:\n" + output());
    if (message->tag() == tag) return *message;
    if (message->tag() != in_message_t::MY_STAT_NOTIFICATION)
      throw std::runtime_error("wait_message: expected " + in_message_t::Tag_Name(tag) + ", got " +
                               message->ShortDebugString());
  }
}

void daemon_process_t::send_config(const ov::MailQuarantineConfig& config, std::uint32_t revision) {
  auto m = parse<ov::Overseer2MailQuarantineMessage>("tag: GET_CONFIG_RESPONSE config_revision: " +
                                                     std::to_string(revision));
  *m.mutable_config() = config;
  send_frame(m.SerializeAsString());
}

void daemon_process_t::send_signal(int signal) {
  if (status_) throw std::runtime_error("send_signal: the process has ended");
  if (::kill(pid_, signal) != 0) throw_errno("kill");
}

bool daemon_process_t::wait_log(const std::string& text, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + wait_limit();
  // The output is a file: look again whenever the process ends or 10 ms pass.
  for (pollfd p{pidfd_.get(), POLLIN, 0}; count_log(text) < count; ::poll(&p, 1, 10))
    if (std::chrono::steady_clock::now() >= deadline || (p.revents && count_log(text) < count)) return false;
  return true;
}

std::size_t daemon_process_t::count_log(const std::string& text) const {
  std::istringstream lines(output());
  std::size_t n = 0;
  for (std::string line; std::getline(lines, line);) n += line.find(text) != std::string::npos;
  return n;
}

int daemon_process_t::wait_exit() {
  if (status_) return *status_;
  pollfd p{pidfd_.get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait_limit().count())) != 1)
    throw std::runtime_error("wait_exit: the process did not end in time");
  return *(status_ = wait_status(pid_));
}

}  // namespace mq::test
