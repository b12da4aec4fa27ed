#pragma once

// A test supervisor: runs a program (normally the real daemon) as a child
// process, speaks the monitor channel with it over a socket pair, and
// collects what it writes to standard error. Every wait has a timeout and
// wakes on the event itself, never on a fixed sleep.
//
//   mq::test::temp_dir_t dir;
//   mq::test::daemon_process_t d(mq::test::daemon_options());
//   d.answer_config(mq::test::make_test_config(dir.path()), 1);
//   auto info = d.wait_message(ov::MailQuarantine2OverseerMessage::MY_INFO_NOTIFICATION);
//   d.send_signal(SIGTERM);
//   EXPECT_EQ(107, d.wait_exit());

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mail_quarantine_config.pb.h"
#include "overseer_mail_quarantine_ipc.pb.h"

namespace mq::test {

// Generous enough for a sanitizer build on a loaded machine.
constexpr int default_timeout_ms = 60000;

// A fresh directory under /tmp (mkdtemp), removed with its contents at the end.
class temp_dir_t {
 public:
  explicit temp_dir_t(const std::string& prefix = "mq-test");
  ~temp_dir_t();
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A configuration for a daemon living in `dir`: spool directory dir/spool,
// sockets dir/sorter.sock and dir/client.sock, log to standard error at
// debug, run as the current uid.
ov::MailQuarantineConfig make_test_config(const std::string& dir);

struct daemon_options_t {
  std::string program;            // the executable
  std::vector<std::string> args;  // arguments after argv[0]
  std::vector<std::string> env;   // extra NAME=VALUE entries (override inherited ones)
  bool monitor = true;            // hand over a monitor socket in COM_ORVANE_MONITOR
  // Text of COM_ORVANE_MONITOR instead of the descriptor number (the socket
  // is still inherited under its number).
  std::optional<std::string> monitor_value;
  bool capture_stdout = false;  // standard output joins the collected lines
};

#ifdef ORVANE_MAIL_QUARANTINE_PATH
// The built daemon with a monitor socket.
inline daemon_options_t daemon_options() {
  daemon_options_t o;
  o.program = ORVANE_MAIL_QUARANTINE_PATH;
  return o;
}
#endif

class daemon_process_t {
 public:
  using in_message_t = ov::MailQuarantine2OverseerMessage;
  using out_message_t = ov::Overseer2MailQuarantineMessage;

  // Starts the program; throws std::system_error when it cannot.
  explicit daemon_process_t(daemon_options_t options);
  // Kills the child (SIGKILL) if it still runs and reaps it. When the
  // current test has failed, the collected output is printed.
  ~daemon_process_t();
  daemon_process_t(const daemon_process_t&) = delete;
  daemon_process_t& operator=(const daemon_process_t&) = delete;

  pid_t pid() const { return pid_; }
  // Our end of the monitor socket (-1 without one or once closed).
  int monitor_fd() const { return monitor_; }

  // The next frame from the daemon, parsed. std::nullopt when the daemon
  // closed the channel. Throws std::runtime_error on timeout, a bad frame
  // or a message that does not parse.
  std::optional<in_message_t> read_message(int timeout_ms = default_timeout_ms);
  // Reads until a message with `tag` arrives, skipping MY_STAT_NOTIFICATION
  // (unless that is the tag asked for). Throws on any other message, on end
  // of channel and on timeout.
  in_message_t wait_message(in_message_t::Tag tag, int timeout_ms = default_timeout_ms);
  // Waits for the next GET_CONFIG_REQUEST and answers it.
  void answer_config(const ov::MailQuarantineConfig& config, std::uint32_t revision,
                     int timeout_ms = default_timeout_ms);
  // Sends GET_CONFIG_RESPONSE at once, asked for or not.
  void send_config(const ov::MailQuarantineConfig& config, std::uint32_t revision);
  void send_message(const out_message_t& message);
  // One frame with `body` as it is.
  void send_frame(const std::string& body);
  // Bytes as they are, no framing (for bad length prefixes).
  void send_bytes(const void* data, std::size_t size);
  // Closes our end of the monitor channel.
  void close_monitor();

  void send_signal(int signal);

  // Waits until at least `count` collected lines contain `text`; false on
  // timeout.
  bool wait_log(const std::string& text, int timeout_ms = default_timeout_ms, std::size_t count = 1);
  // Number of collected lines containing `text` so far.
  std::size_t count_log(const std::string& text) const;
  // Every line collected so far, newline-terminated.
  std::string output() const;

  // Waits for the child to end: its exit status, or 128 + the signal that
  // killed it. Throws std::runtime_error on timeout. Later calls return the
  // same value.
  int wait_exit(int timeout_ms = default_timeout_ms);
  bool exited() const { return status_.has_value(); }

 private:
  void collect(int fd);

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int monitor_ = -1;
  std::optional<int> status_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool output_closed_ = false;
  int stop_pipe_[2] = {-1, -1};  // wakes the collector at destruction
  std::thread collector_;
};

}  // namespace mq::test
