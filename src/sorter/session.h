#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include <boost/signals2/connection.hpp>

#include "mail_quarantine_sorter_ipc.pb.h"
#include "net/connection.h"
#include "store/entry.h"
#include "store/port.h"

namespace mq::sorter {

// One Sorter connection: parses, checks and converts its requests, hands
// them to the store and answers them in completion order (a failure as
// ALARM); keeps the queue-change subscription; writes the audit lines of
// moves and removals. Greets with the store path. Event-loop thread only.
class session_t : public mq::net::connection_t {
 public:
  // A queue change goes out as notifications of at most this many bytes,
  // the next one once the peer has read the one before: a flush of any size
  // costs a connection one such piece, not a copy of all its keys.
  static constexpr std::size_t notification_bytes = std::size_t{64} * 1024;
  // A subscriber that still waits for keys of earlier changes, and whom the
  // next change would take past this many keys waiting, does not read: it
  // is dropped. A single change of any size is always taken.
  static constexpr std::size_t max_waiting_keys = std::size_t{1} << 20;

  // Sends STORE_STATE_NOTIFICATION; the link starts reading at once.
  session_t(socket_t socket, mq::store::store_port_t* store);

  // What the Sorter sends and what it is sent.
  using request_t = Sorter2MailQuarantineMessage;
  using response_t = MailQuarantine2SorterMessage;

 private:
  // The request kinds that carry serials.
  enum kind_t : std::size_t { get_entry_ids, get_entry, put_entry, remove_entry, update_entry, kinds };

  // A large frame parsed and converted off the event loop.
  struct parsed_t;

  void handle(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) override;
  // Parses and converts a large frame off the loop; reads nothing more
  // meanwhile, so that later requests do not overtake it.
  void handle_large(std::uint32_t size, mq::util::unique_fd_t fd);
  void dispatch(const request_t& m, mq::util::unique_fd_t fd, parsed_t* parsed);
  void on_get_entry_request(const request_t& m);
  void on_update_entry_request(const request_t& m, mq::util::unique_fd_t fd, parsed_t* parsed);
  void on_remove_entry_request(const request_t& m);
  void on_subscribe_to_queue_change();
  void on_queue_change(mq::store::queue_change_ptr_t change);
  // Sends the next piece of the changes waiting, unless one is on its way.
  void notify_next();
  void on_sent() override;
  // The completion of a request of `kind`: a response built by `build` or ALARM.
  template <class value_t, class build_t>
  auto answer(kind_t kind, std::uint32_t serial, build_t build);

  mq::store::store_port_t* const store_;
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
