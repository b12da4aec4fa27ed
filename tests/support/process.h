#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "mail_quarantine_config.pb.h"
#include "overseer_mail_quarantine_ipc.pb.h"
#include "peers.h"

namespace mq::test {

// argv[0] is `argv0` when set, else `path`. An `env` entry NAME=VALUE sets a
// variable, a bare NAME removes it.
struct command_t {
  std::string path;
  std::vector<std::string> args;
  std::vector<std::string> env = {};
  std::string argv0 = {};
  std::string cwd = {};
  std::string input = {};        // standard input (run_program; empty: /dev/null)
  std::string stdout_path = {};  // standard output to this file (run_program)
};

struct program_result_t {
  int status = -1;  // exit status, or 128 + the killing signal
  std::string out;
  std::string err;
};

// Standard input from `input` or /dev/null; throws (after a kill) when it does not end.
program_result_t run_program(const command_t& command);

ov::MailQuarantineConfig make_test_config(const std::string& dir);
// As the supervisor reads it: JSON.
void write_config(const std::string& path, const ov::MailQuarantineConfig& config);
// An executable shell script of `body`.
void write_script(const std::string& path, const std::string& body);
std::size_t open_descriptors(pid_t pid);

template <typename M>
M parse(const std::string& text) {
  M m;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &m)) << text;
  return m;
}

class daemon_process_t {
 public:
  using in_message_t = ov::MailQuarantine2OverseerMessage;

  // Output and error go to one file. It gets a monitor socket in
  // COM_ORVANE_MONITOR unless `command.env` names that variable itself.
  explicit daemon_process_t(command_t c);
  ~daemon_process_t();

  pid_t pid() const { return pid_; }

  // nullopt once either side closed the channel; throws on timeout.
  std::optional<in_message_t> read_message(std::chrono::milliseconds limit = wait_limit());
  // Skips statistics; throws on anything else, the end and timeout.
  in_message_t wait_message(in_message_t::Tag tag);
  // Statistics come every second; a count settles within a few.
  bool wait_clients(std::uint32_t clients) {
    for (int i = 0; i < 10; ++i)
      if (wait_message(in_message_t::MY_STAT_NOTIFICATION).stat().clients() == clients) return true;
    return false;
  }
  void answer_config(const ov::MailQuarantineConfig& config, std::uint32_t revision) {
    wait_message(in_message_t::GET_CONFIG_REQUEST);
    send_config(config, revision);
  }
  void send_config(const ov::MailQuarantineConfig& config, std::uint32_t revision);
  void send_frame(const std::string& body) { net::write_frame(monitor_.get(), body); }
  void send_bytes(const void* data, std::size_t size) {
    if (::send(monitor_.get(), data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) throw_errno("send");
  }
  void close_monitor() { monitor_.reset(); }
  void send_signal(int signal);

  bool wait_log(const std::string& text, std::size_t count = 1);
  std::size_t count_log(const std::string& text) const;
  std::string output() const { return read_fd(out_.get()); }

  int wait_exit();
  bool exited() const { return status_.has_value(); }

 private:
  pid_t pid_ = -1;
  util::unique_fd_t pidfd_;
  util::unique_fd_t monitor_;
  util::unique_fd_t out_;
  std::optional<int> status_;
};

#ifdef ORVANE_MAIL_QUARANTINE_PATH
inline command_t daemon_command() { return {ORVANE_MAIL_QUARANTINE_PATH, {}}; }

// A daemon configured by make_test_config() and `adjust`, ready for service.
class running_quarantine_t {
 public:
  using adjust_t = std::function<void(ov::MailQuarantineConfig&, const temp_dir_t&)>;
  explicit running_quarantine_t(const adjust_t& adjust = {}) : config_(make_test_config(dir_.path().string())) {
    if (adjust) adjust(config_, dir_);
    restart();
  }
  // A new daemon on the same spool, ready; as the supervisor does, stale
  // socket files go first.
  void restart() {
    daemon_.reset();
    ::unlink(sorter_socket().c_str()), ::unlink(client_socket().c_str());
    daemon_ = std::make_unique<daemon_process_t>(daemon_command());
    daemon_->answer_config(config_, 1);
    daemon_->wait_message(daemon_process_t::in_message_t::MY_INFO_NOTIFICATION);
  }

  const std::string& sorter_socket() const { return config_.sorter_socket_path(); }
  const std::string& client_socket() const { return config_.client_socket_path(); }
  const std::string& spool_dir() const { return config_.spool_dir(); }
  std::string file(const std::string& name) const { return dir_.file(name); }
  daemon_process_t& daemon() { return *daemon_; }
  int stop() {
    daemon_->send_signal(SIGTERM);
    return daemon_->wait_exit();
  }

 private:
  temp_dir_t dir_;
  ov::MailQuarantineConfig config_;
  std::unique_ptr<daemon_process_t> daemon_;
};
#endif

}  // namespace mq::test
