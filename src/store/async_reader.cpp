#include "store/async_reader.h"

#include <future>
#include <stdexcept>
#include <utility>

#include "store/metadata_reader.h"
#include "store/queue_counts.h"
#include "util/async_worker.h"
#include "util/thrown_by.h"

namespace mq::store {

struct async_reader_t::lane_t {
  explicit lane_t(boost::asio::io_context& io) : worker(io) { worker.set_name("mq-reader"); }

  // Used on the worker only.
  std::unique_ptr<metadata_reader_t> db;
  std::atomic<std::size_t> waiting{0};
  // Last: it goes first, so no read touches the members above as they go.
  mq::util::async_worker_t worker;
};

async_reader_t::async_reader_t(boost::asio::io_context& io, std::size_t threads, std::function<void()> before_read)
    : before_read_(std::move(before_read)) {
  for (std::size_t i = 0; i < threads; ++i) lanes_.push_back(std::make_unique<lane_t>(io));
}

async_reader_t::~async_reader_t() { cancel(); }

void async_reader_t::open(const std::string& db_path, bool trace) {
  std::vector<std::future<void>> ready;
  for (auto& lane : lanes_) {
    std::promise<void> promise;
    ready.push_back(promise.get_future());
    lane->worker.post([lane = lane.get(), db_path, trace, promise = std::move(promise)]() mutable {
      auto error = mq::util::thrown_by([&] { lane->db = std::make_unique<metadata_reader_t>(db_path, trace); });
      if (error) {
        promise.set_exception(std::move(error));
      } else {
        promise.set_value();
      }
    });
  }
  for (auto& f : ready) f.wait();
  for (auto& f : ready) f.get();
}

void async_reader_t::set_trace(bool trace) {
  for (auto& lane : lanes_) {
    lane->worker.post([lane = lane.get(), trace] {
      if (lane->db) lane->db->set_trace(trace);
    });
  }
}

void async_reader_t::stop() {
  for (auto& lane : lanes_) lane->worker.stop();
  for (auto& lane : lanes_) lane->worker.join();
}

async_reader_t::lane_t& async_reader_t::pick() {
  lane_t* best = lanes_.front().get();
  for (auto& lane : lanes_) {
    if (lane->waiting.load(std::memory_order_relaxed) < best->waiting.load(std::memory_order_relaxed))
      best = lane.get();
  }
  return *best;
}

template <class T, class F>
void async_reader_t::read(F op, callback_t<T> callback, wanted_t wanted) {
  lane_t& lane = pick();
  lane.waiting.fetch_add(1, std::memory_order_relaxed);
  lane.worker.post_result(
      [&lane, op = std::move(op), wanted = std::move(wanted), before = before_read_]() mutable {
        struct done_t {
          lane_t& lane;
          ~done_t() { lane.waiting.fetch_sub(1, std::memory_order_relaxed); }
        } done{lane};
        if (before) before();
        // A probe that gave up must not keep a Sorter's gets waiting.
        if (wanted && !wanted->load()) throw std::runtime_error("Nobody waits for the answer");
        if (!lane.db) throw std::runtime_error("Queue metadata db is not open");
        return op(lane);
      },
      wrap(std::move(callback)));
}

void async_reader_t::get_queue_stat(std::shared_ptr<queue_counts_t> counts, std::function<void()> stale,
                                    callback_t<queue_stats_t> callback, wanted_t wanted) {
  read<queue_stats_t>(
      [counts = std::move(counts), stale = std::move(stale)](lane_t& lane) {
        if (auto current = counts->current(stale)) return *current;
        return lane.db->get_queue_stat();
      },
      std::move(callback), std::move(wanted));
}

void async_reader_t::get_queue_chunk(queue_chunk_request_t request, callback_t<std::vector<queue_key_t>> callback) {
  read<std::vector<queue_key_t>>([request](lane_t& lane) { return lane.db->get_queue_chunk(request); },
                                 std::move(callback));
}

void async_reader_t::get_queue_chunk_brief(queue_chunk_request_t request,
                                           callback_t<std::vector<entry_brief_t>> callback, wanted_t wanted) {
  read<std::vector<entry_brief_t>>([request](lane_t& lane) { return lane.db->get_queue_chunk_brief(request); },
                                   std::move(callback), std::move(wanted));
}

}  // namespace mq::store
