#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/filesystem/path.hpp>

#include "store/shared_file.h"
#include "util/loop_standby.h"
#include "util/result.h"

namespace mq::store {

// Opens message files for the event loop without the loop ever waiting for
// an open: a file that an on-access scanner holds, or one on a slow file
// system, holds up its own get and nothing else. With a standby, opens run
// on the loop's thread, the standby serving the loop while one waits past
// its patience, and for a while after such a wait go where the waiting
// ones go: to the kernel's io_uring workers where the kernel lets this
// process use io_uring, else to threads of the opener's own. Event loop
// only; each callback runs once, on a later turn, and never after the
// opener is gone.
class file_opener_t {
 public:
  using callback_t = std::function<void(mq::util::result_t<shared_file_t>)>;

  // Opens `dir` without following a link. `use_threads` skips io_uring;
  // without `standby` no open runs on the loop's thread.
  file_opener_t(boost::asio::io_context& io, const boost::filesystem::path& dir, bool use_threads,
                std::shared_ptr<mq::util::loop_standby_t> standby = nullptr);
  ~file_opener_t();
  file_opener_t(const file_opener_t&) = delete;
  file_opener_t& operator=(const file_opener_t&) = delete;

  // Opens `name`, a plain name inside the directory, for reading: never
  // through a link, never waiting for a pipe's writer, and only a regular
  // file ("Invalid argument" otherwise); the size comes with it.
  void open(const std::string& name, callback_t callback);

  // What the opener uses, as logged at start.
  const std::string& description() const { return description_; }

 private:
  struct request_t;
  class ring_t;
  class threads_t;

  // Sends the pending request `id` (again) to the loop's thread, the ring
  // or a thread.
  void resubmit(std::uint64_t id);
  void send_off(std::uint64_t id);
  // Opens on the loop's thread, guarded by the standby.
  void open_here(std::uint64_t id);
  // On the event loop, the outcome of one openat: a descriptor or minus
  // errno.
  void opened(std::uint64_t id, int result);

  boost::asio::io_context& io_;
  boost::filesystem::path dir_;
  int dir_fd_ = -1;
  std::string description_;
  std::map<std::uint64_t, std::unique_ptr<request_t>> pending_;
  std::uint64_t last_id_ = 0;
  // Keeps the loop running while a thread opens.
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::unique_ptr<ring_t> ring_;
  std::shared_ptr<threads_t> threads_;
  std::shared_ptr<mq::util::loop_standby_t> standby_;
};

}  // namespace mq::store
