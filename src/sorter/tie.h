#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <boost/optional.hpp>
#include <boost/signals2/connection.hpp>

#include "sorter/ipc.h"
#include "store/entry.h"
#include "store/shared_file.h"
#include "util/callback_wrapper.h"
#include "util/result.h"

namespace mq::sorter {

// One Sorter connection: keeps the serials in progress and the queue-change
// subscription, forwards requests to its delegate and answers them in
// completion order. Event-loop thread only.
class tie_t : public mq::util::callback_wrapper_t {
 public:
  using socket_t = ipc_t::socket_t;
  template <class T>
  using completion_t = std::function<void(mq::util::result_t<T>)>;
  using queue_change_callback_t = std::function<void(mq::store::queue_change_ptr_t)>;

  class delegate_t {
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
    // The connection has ended; the delegate destroys the tie_t inside.
    virtual void on_disconnected() = 0;

   protected:
    ~delegate_t() = default;
  };

  // The link starts reading at once.
  tie_t(socket_t socket, delegate_t* delegate);
  ~tie_t();

  // Reads no further request; the connection ends once the requests in
  // progress are answered.
  void drain() { ipc_.drain(); }
  void abandon() { ipc_.abandon(); }

  // STORE_STATE_NOTIFICATION; sent first on every connection.
  void notify_store_state(const std::string& store_path);

  // Called by the codec with checked and converted requests.
  void on_get_entry_request(std::uint32_t serial, std::int64_t id);
  void on_put_entry_request(std::uint32_t serial, mq::store::entry_t entry);
  void on_update_entry_request(std::uint32_t serial, std::int64_t id, mq::store::entry_metadata_update_t update,
                               boost::optional<mq::store::shared_file_t> file);
  void on_remove_entry_request(std::uint32_t serial, std::int64_t id);
  void on_get_queue_chunk_request(std::uint32_t serial, mq::store::queue_chunk_request_t request);
  void on_subscribe_to_queue_change();

  // The codec has ended (its link is gone and the end is logged): tells the
  // delegate, which destroys this object.
  void on_disconnected();

 private:
  // The completion of a request of `kind`: a response built by `build` or ALARM.
  template <class value_t, class build_t>
  auto answer(ipc_t::kind_t kind, std::uint32_t serial, build_t build);
  void on_queue_change(const mq::store::queue_change_ptr_t& change);

  boost::signals2::scoped_connection subscription_;
  ipc_t ipc_;
  delegate_t* delegate_;
};

}  // namespace mq::sorter
