#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <boost/optional.hpp>
#include <boost/signals2/connection.hpp>

#include "mail_quarantine_sorter_ipc.pb.h"
#include "net/connection.h"
#include "store/entry.h"
#include "store/shared_file.h"

namespace mq::sorter {

// One Sorter connection: parses, checks and converts its requests, forwards
// them to its delegate and answers them in completion order (a failure as
// ALARM); keeps the queue-change subscription. Event-loop thread only.
class tie_t : public mq::net::protocol_codec_t {
 public:
  using queue_change_callback_t = std::function<void(mq::store::queue_change_ptr_t)>;

  class delegate_t : public mq::net::connection_delegate_t {
   public:
    virtual boost::signals2::connection subscribe_to_queue_change(queue_change_callback_t callback) = 0;
    virtual void get_queue_chunk(mq::store::queue_chunk_request_t request,
                                 completion_t<std::vector<mq::store::queue_key_t>> completion) = 0;
    virtual void get_entry(std::int64_t id, completion_t<mq::store::entry_t> completion) = 0;
    virtual void put_entry(mq::store::entry_t entry, completion_t<std::uint64_t> completion) = 0;
    virtual void update_entry(std::int64_t id, mq::store::entry_metadata_update_t update,
                              boost::optional<mq::store::shared_file_t> file,
                              completion_t<mq::util::none_t> completion) = 0;
    virtual void remove_entry(std::int64_t id, completion_t<mq::util::none_t> completion) = 0;
    // Runs `job` off the event loop, then `done` on it: at most one of this
    // connection's at a time, taking turns with other connections.
    virtual void run_large(std::function<void()> job, std::function<void()> done) = 0;

   protected:
    ~delegate_t() = default;
  };

  // A queue change goes out as notifications of at most this many bytes,
  // the next one once the peer has read the one before: a flush of any size
  // costs a connection one such piece, not a copy of all its keys.
  static constexpr std::size_t notification_bytes = 64 * 1024;
  // A subscriber that still waits for keys of earlier changes, and whom the
  // next change would take past this many keys waiting, does not read: it
  // is dropped. A single change of any size is always taken.
  static constexpr std::size_t max_waiting_keys = std::size_t{1} << 20;

  // The link starts reading at once.
  tie_t(socket_t socket, delegate_t* delegate);

  // STORE_STATE_NOTIFICATION; sent first on every connection.
  void notify_store_state(const std::string& store_path);

 private:
  // The request kinds that carry serials.
  enum kind_t : std::size_t { get_entry_ids, get_entry, put_entry, remove_entry, update_entry, kinds };

  // A large frame parsed and converted off the event loop.
  struct parsed_t;

  void handle(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override;
  // Parses and converts a large frame off the loop; reads nothing more
  // meanwhile, so that later requests do not overtake it.
  void handle_large(std::uint32_t size, mq::util::unique_fd_t fd);
  void dispatch(const Sorter2MailQuarantineMessage& m, mq::util::unique_fd_t fd, parsed_t* parsed);
  void on_get_entry_request(const Sorter2MailQuarantineMessage& m);
  void on_update_entry_request(const Sorter2MailQuarantineMessage& m, mq::util::unique_fd_t fd, parsed_t* parsed);
  void on_subscribe_to_queue_change();
  void on_queue_change(mq::store::queue_change_ptr_t change);
  // Sends the next piece of the changes waiting, unless one is on its way.
  void notify_next();
  void on_sent() override;
  // The completion of a request of `kind`: a response built by `build` or ALARM.
  template <class value_t, class build_t>
  auto answer(kind_t kind, std::uint32_t serial, build_t build);

  delegate_t* delegate_;
  // Changes not sent whole yet (shared with every other subscriber), the
  // keys of the first one already sent, and the keys still to send.
  std::deque<mq::store::queue_change_ptr_t> changes_;
  std::size_t sent_keys_ = 0;
  std::size_t waiting_keys_ = 0;
  bool notifying_ = false;  // a notification is in the link's queue
  // Last: disconnected first, so no change arrives while the rest goes.
  boost::signals2::scoped_connection subscription_;
};

}  // namespace mq::sorter
