// Both protocol decoders through their codecs into a real store on a fresh
// spool. Records are frame bodies: flag bit 0 sends to the client connection
// (else the Sorter one), bit 1 passes a 64-byte message file. After every
// frame all store work is awaited, so that an input always runs the same way;
// at the end a health check must find the store consistent.
#include <sys/ioctl.h>

#include <cstdio>
#include <memory>

#include "client/tie.h"
#include "fuzz_support.h"
#include "sorter/tie.h"
#include "store/store.h"

namespace {

using namespace mq;

// Forwards to the store, counting the operations not yet answered.
struct forward_t : sorter::tie_t::delegate_t, client::tie_t::delegate_t {
  store::store_t* store;
  int outstanding = 0;
  bool* open;  // of the connection the current frame went to

  template <class T>
  std::function<void(util::result_t<T>)> counted(std::function<void(util::result_t<T>)> done) {
    ++outstanding;
    return [this, done](util::result_t<T> r) { --outstanding, done(std::move(r)); };
  }
  template <class T>
  using done_t = std::function<void(util::result_t<T>)>;
  boost::signals2::connection subscribe_to_queue_change(sorter::tie_t::queue_change_callback_t f) override {
    return store->connect_queue_changed(std::move(f));
  }
  void get_queue_chunk(store::queue_chunk_request_t r, done_t<std::vector<store::queue_key_t>> f) override {
    store->get_queue_chunk(r, counted(f));
  }
  void get_entry(std::int64_t id, done_t<store::entry_t> f) override { store->get_entry(id, counted(f)); }
  void put_entry(store::entry_t e, done_t<std::uint64_t> f) override { store->put_entry(std::move(e), counted(f)); }
  void update_entry(std::int64_t id, store::entry_metadata_update_t u, boost::optional<store::shared_file_t> file,
                    done_t<util::none_t> f) override {
    store->update_entry(id, std::move(u), std::move(file), counted(f));
  }
  void remove_entry(std::int64_t id, done_t<util::none_t> f) override { store->remove_entry(id, counted(f)); }
  void get_queue_stat(done_t<store::queue_stats_t> f) override { store->get_queue_stat(counted(f)); }
  void get_queue_chunk(store::queue_chunk_request_t r, done_t<std::vector<store::entry_brief_t>> f) override {
    store->get_queue_chunk_brief(r, counted(f));
  }
  void flush_queue(store::status_t s, done_t<std::string> f) override { store->flush_queue(s, counted(f)); }
  void check_health(bool fix, done_t<std::string> f) override { store->check_health(fix, counted(f)); }
  void on_disconnected() override { *open = false; }
};

int unread(int fd) {
  int n = 0;
  ::ioctl(fd, FIONREAD, &n);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string spool = mq::fuzz::fresh_dir("mq-fuzz-protocol");
  boost::asio::io_context io;
  store::store_t store(io);
  store.open(spool, ::getuid(), ::getgid(), false);
  forward_t fwd;
  fwd.store = &store;
  util::local_ipc_link_t::socket_t sorter_end(io), client_end(io);
  const int peers[2] = {mq::fuzz::socket_pair(io, sorter_end), mq::fuzz::socket_pair(io, client_end)};
  const int ends[2] = {sorter_end.native_handle(), client_end.native_handle()};
  bool open[2] = {true, true};
  auto sorter = std::make_unique<sorter::tie_t>(std::move(sorter_end), &fwd);
  auto client = std::make_unique<client::tie_t>(std::move(client_end), &fwd);
  sorter->notify_store_state(store.path());
  const int file = mq::fuzz::make_message_file();
  mq::fuzz::records_t records{data, size, true};
  std::uint8_t flags;
  std::string body;
  for (int count = 0; count < 64 && records.next(flags, body) && !body.empty(); ++count) {
    const int side = flags & 1;
    fwd.open = &open[side];
    if (!open[side] || !mq::fuzz::send_frame(peers[side], body, (flags & 2) ? file : -1)) continue;
    // Until the frame is read and every store operation has answered.
    for (;;) {
      io.poll();
      mq::fuzz::drain(peers[0]), mq::fuzz::drain(peers[1]);
      if (!(open[0] && unread(ends[0])) && !(open[1] && unread(ends[1])) && fwd.outstanding == 0) break;
      if (fwd.outstanding > 0) io.run_one();
    }
  }
  // Everything has answered: the store must be consistent.
  std::string health;
  io.restart();  // out of work once both connections have ended
  store.check_health(false, [&](util::result_t<std::string> r) { health = util::value_of(r); });
  while (health.empty()) io.run_one();
  if (health != "Ok") std::fprintf(stderr, "health check: %s\n", health.c_str());
  mq::fuzz::check(health == "Ok");
  store.close();
  sorter.reset();
  client.reset();
  for (int fd : {file, peers[0], peers[1]}) ::close(fd);
  boost::filesystem::remove_all(spool);
  return 0;
}
