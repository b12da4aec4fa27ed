#pragma once

// Runs a program as a child process and collects its output and exit status.

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace mq::test {

struct child_result_t {
  bool exited = false;  // ended by exit rather than a signal
  int status = -1;      // exit status when exited, else the signal number
  std::string out;
  std::string err;
};

// Environment changes: a value sets the variable, nullopt removes it.
using env_changes_t = std::map<std::string, std::optional<std::string>>;

inline std::string self_exe_path() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n < 0) throw std::runtime_error("readlink /proc/self/exe failed");
  return std::string(buffer, static_cast<std::size_t>(n));
}

// `args` is the whole argument vector, argv[0] included. Waits until both
// output pipes reach end of file and the child has ended; a child that
// stays silent for `timeout` is killed and reported as killed by SIGKILL.
inline child_result_t run_child(const std::string& path, const std::vector<std::string>& args,
                                const env_changes_t& env = {},
                                std::chrono::milliseconds timeout = std::chrono::minutes(2)) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string key = entry.substr(0, entry.find('='));
    if (env.count(key) == 0) env_strings.push_back(entry);
  }
  for (const auto& [key, value] : env) {
    if (value) env_strings.push_back(key + "=" + *value);
  }
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_copy = args;
  std::vector<char*> argv;
  for (std::string& s : arg_copy) argv.push_back(s.data());
  argv.push_back(nullptr);

  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd >= 0) ::dup2(null_fd, 0);
    ::execve(path.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  child_result_t result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  bool killed = false;
  while (open_count > 0) {
    int n = ::poll(fds, 2, static_cast<int>(timeout.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t got = ::read(fds[i].fd, buffer, sizeof(buffer));
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) ::close(p.fd);
  }
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus) && !killed) {
    result.exited = true;
    result.status = WEXITSTATUS(wstatus);
  } else {
    result.status = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : SIGKILL;
  }
  return result;
}

}  // namespace mq::test
