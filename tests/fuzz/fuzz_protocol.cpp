// Both sessions into a real store. Records are frame bodies: flag bit 0 sends to the
// client connection (else the Sorter one), bit 1 passes a 64-byte message file. All store work is awaited
// after every frame, so an input always runs the same way; at the end the health check must say "Ok".
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <cstdio>
#include <memory>

#include "client/session.h"
#include "fuzz_support.h"
#include "sorter/session.h"
#include "store/store.h"

namespace {

using namespace mq;
template <class T>
using done_t = std::function<void(util::result_t<T>)>;

// Forwards to the store, counting the operations not yet answered.
struct forward_t : store::store_port_t {
  store::store_t* store;
  int outstanding = 0;

  template <class T>
  done_t<T> counted(done_t<T> done) {
    return ++outstanding, [this, done](util::result_t<T> r) { --outstanding, done(std::move(r)); };
  }
  const std::string& path() const override { return store->path(); }
  boost::signals2::connection connect_queue_changed(std::function<void(store::queue_change_ptr_t)> f) override {
    return store->connect_queue_changed(std::move(f));
  }
  void get_queue_chunk(store::queue_chunk_request_t r, done_t<std::vector<store::queue_key_t>> f) override {
    store->get_queue_chunk(r, counted(f));
  }
  void get_entry(std::int64_t id, done_t<store::entry_t> f, const void* owner) override {
    store->get_entry(id, counted(f), owner);
  }
  void put_entry(store::entry_t e, done_t<std::uint64_t> f) override { store->put_entry(std::move(e), counted(f)); }
  void update_entry(std::int64_t id, store::entry_metadata_update_t u, boost::optional<store::shared_file_t> file,
                    done_t<util::none_t> f) override {
    store->update_entry(id, std::move(u), std::move(file), counted(f));
  }
  void remove_entry(std::int64_t id, done_t<util::none_t> f) override { store->remove_entry(id, counted(f)); }
  void run_large(const void* owner, std::function<void()> job, std::function<void()> done) override {
    ++outstanding;
    store->run_large(owner, std::move(job), [this, done] { --outstanding, done(); });
  }
  void get_queue_stat(done_t<store::queue_stats_t> f, wanted_t w) override { store->get_queue_stat(counted(f), w); }
  void get_queue_chunk_brief(store::queue_chunk_request_t r, done_t<std::vector<store::entry_brief_t>> f,
                             wanted_t w) override {
    store->get_queue_chunk_brief(r, counted(f), w);
  }
  void flush_queue(store::status_t s, done_t<std::string> f) override { store->flush_queue(s, counted(f)); }
  void check_health(bool fix, done_t<std::string> f) override { store->check_health(fix, counted(f)); }
};

void run(const std::uint8_t* data, std::size_t size) {
  const std::string spool = mq::fuzz::fresh_dir("mq-fuzz-protocol");
  boost::asio::io_context io;
  // Store answers come from worker threads: without work the loop would stop before they are posted.
  const auto work = boost::asio::make_work_guard(io);
  store::store_t store(io);
  store.open(spool, ::getuid(), ::getgid(), false);
  forward_t fwd;
  fwd.store = &store;
  net::local_ipc_link_t::socket_t sorter_end(io), client_end(io);
  const int peers[2] = {mq::fuzz::socket_pair(io, sorter_end), mq::fuzz::socket_pair(io, client_end)};
  const int ends[2] = {sorter_end.native_handle(), client_end.native_handle()};
  bool open[2] = {true, true};
  auto unread = [&](int side) {  // bytes the connection has not read yet
    int n = 0;
    return open[side] && ::ioctl(ends[side], FIONREAD, &n) == 0 && n > 0;
  };
  auto sorter = std::make_unique<sorter::session_t>(std::move(sorter_end), &fwd);
  auto client = std::make_unique<client::session_t>(std::move(client_end), &fwd);
  sorter->on_end([&] { open[0] = false; });
  client->on_end([&] { open[1] = false; });
  const int file = ::memfd_create("message", MFD_CLOEXEC);  // as a Sorter passes it
  mq::fuzz::check(::write(file, "Subject: fuzz\r\n\r\n0123456789012345678901234567890123456789012345", 64) == 64);
  mq::fuzz::records_t in{data, size, true};
  for (int count = 0; count < 64 && in.next() && !in.bytes.empty(); ++count) {
    const int side = in.flags & 1;
    if (!open[side] || !mq::fuzz::send_frame(peers[side], in.bytes, (in.flags & 2) ? file : -1)) continue;
    do {  // until the frame is read and every store operation has answered
      if (fwd.outstanding > 0) io.run_one();
      io.poll(), mq::fuzz::drain(peers[0]), mq::fuzz::drain(peers[1]);
    } while (unread(0) || unread(1) || fwd.outstanding > 0);
  }
  std::string health;
  store.check_health(false, [&](util::result_t<std::string> r) { health = util::value_of(r); });
  while (health.empty()) io.run_one();
  if (health != "Ok") std::fprintf(stderr, "health check: %s\n", health.c_str()), std::abort();
  store.close(), sorter.reset(), client.reset();
  for (int fd : {file, peers[0], peers[1]}) ::close(fd);
  boost::filesystem::remove_all(spool);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const long open_before = mq::fuzz::open_fds();
  run(data, size);
  mq::fuzz::check(mq::fuzz::open_fds() == open_before);  // no passed descriptor kept
  return 0;
}
