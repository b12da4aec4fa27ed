// Both protocol decoders through their codecs into a real store on a fresh
// spool. Records are frame bodies: flag bit 0 sends to the client connection
// (else the Sorter one), bit 1 attaches a 64-byte message file. After every
// frame all store work is awaited, so each input runs the same way.
#include <sys/ioctl.h>

#include <functional>
#include <memory>

#include "client/tie.h"
#include "fuzz_support.h"
#include "sorter/tie.h"
#include "store/store.h"

namespace {

using namespace mq;

// Forwards to the store and counts the operations not yet completed.
struct forward_t : sorter::tie_t::delegate_t, client::tie_t::delegate_t {
  store::store_t* store;
  int outstanding = 0;
  bool sorter_open = true, client_open = true;
  bool* open_flag = nullptr;

  template <class T>
  std::function<void(util::result_t<T>)> counted(std::function<void(util::result_t<T>)> done) {
    ++outstanding;
    return [this, done = std::move(done)](util::result_t<T> r) {
      --outstanding;
      done(std::move(r));
    };
  }
  boost::signals2::connection subscribe_to_queue_change(sorter::tie_t::queue_change_callback_t cb) override {
    return store->connect_queue_changed(std::move(cb));
  }
  void get_queue_chunk(store::queue_chunk_request_t r,
                       sorter::tie_t::completion_t<std::vector<store::queue_key_t>> done) override {
    store->get_queue_chunk(r, counted(std::move(done)));
  }
  void get_entry(std::int64_t id, sorter::tie_t::completion_t<store::entry_t> done) override {
    store->get_entry(id, counted(std::move(done)));
  }
  void put_entry(store::entry_t e, sorter::tie_t::completion_t<std::uint64_t> done) override {
    store->put_entry(std::move(e), counted(std::move(done)));
  }
  void update_entry(std::int64_t id, store::entry_metadata_update_t u, boost::optional<store::shared_file_t> f,
                    sorter::tie_t::completion_t<util::none_t> done) override {
    store->update_entry(id, std::move(u), std::move(f), counted(std::move(done)));
  }
  void remove_entry(std::int64_t id, sorter::tie_t::completion_t<util::none_t> done) override {
    store->remove_entry(id, counted(std::move(done)));
  }
  void get_queue_stat(client::tie_t::completion_t<store::queue_stats_t> done) override {
    store->get_queue_stat(counted(std::move(done)));
  }
  void get_queue_chunk(store::queue_chunk_request_t r,
                       client::tie_t::completion_t<std::vector<store::entry_brief_t>> done) override {
    store->get_queue_chunk_brief(r, counted(std::move(done)));
  }
  void flush_queue(store::status_t s, client::tie_t::completion_t<std::string> done) override {
    store->flush_queue(s, counted(std::move(done)));
  }
  void check_health(bool fix, client::tie_t::completion_t<std::string> done) override {
    store->check_health(fix, counted(std::move(done)));
  }
  // Both ties call the one on_disconnected: the side is told by the caller.
  void on_disconnected() override { *open_flag = false; }
};

std::size_t unread(int fd) {
  int n = 0;
  ::ioctl(fd, FIONREAD, &n);
  return static_cast<std::size_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int quiet = (mq::fuzz::quiet_log(), 0);
  (void)quiet;
  const std::string spool = mq::fuzz::fresh_dir("mq-fuzz-protocol");
  boost::asio::io_context io;
  store::store_t store(io);
  store.open(spool, ::getuid(), ::getgid(), false);
  forward_t fwd;
  fwd.store = &store;
  util::local_ipc_link_t::socket_t s_ours(io), c_ours(io);
  const int s_peer = mq::fuzz::socket_pair(io, s_ours), c_peer = mq::fuzz::socket_pair(io, c_ours);
  const int s_fd = s_ours.native_handle(), c_fd = c_ours.native_handle();
  auto sorter = std::make_unique<sorter::tie_t>(std::move(s_ours), &fwd);
  auto client = std::make_unique<client::tie_t>(std::move(c_ours), &fwd);
  sorter->notify_store_state(store.path());
  const int file = mq::fuzz::make_message_file();

  mq::fuzz::records_t records{data, size, true};
  std::uint8_t flags;
  std::string body;
  for (int count = 0; count < 64 && records.next(flags, body) && !body.empty(); ++count) {
    const bool to_client = flags & 1;
    if (!(to_client ? fwd.client_open : fwd.sorter_open)) continue;
    fwd.open_flag = to_client ? &fwd.client_open : &fwd.sorter_open;
    const std::uint32_t length = static_cast<std::uint32_t>(body.size());
    const int peer = to_client ? c_peer : s_peer;
    if (!mq::fuzz::send_bytes(peer, std::string(reinterpret_cast<const char*>(&length), 4), -1) ||
        !mq::fuzz::send_bytes(peer, body, (flags & 2) ? file : -1))
      break;
    // Until the frame is read and every store operation has answered.
    while (true) {
      io.poll();
      mq::fuzz::drain(s_peer);
      mq::fuzz::drain(c_peer);
      const bool read = !(fwd.sorter_open && unread(s_fd)) && !(fwd.client_open && unread(c_fd));
      if (read && fwd.outstanding == 0) break;
      if (fwd.outstanding > 0) io.run_one();
    }
    if (!fwd.sorter_open) sorter.reset();
    if (!fwd.client_open) client.reset();
  }
  store.close();
  sorter.reset();
  client.reset();
  ::close(file);
  ::close(s_peer);
  ::close(c_peer);
  boost::filesystem::remove_all(spool);
  return 0;
}
