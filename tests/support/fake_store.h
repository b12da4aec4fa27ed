#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal_type.hpp>

#include "store/port.h"

namespace mq::test {

// A store that answers nothing by itself: every request is counted and its
// completion kept, so that a test decides when and how each one completes.
// Large jobs run on a thread of their own, as on the store's pool.
struct fake_store_t : mq::store::store_port_t {
  template <class T>
  using all_t = std::vector<callback_t<T>>;
  using none_t = mq::util::none_t;

  explicit fake_store_t(boost::asio::io_context& io) : io(io) {}

  const std::string& path() const override { return spool; }
  boost::signals2::connection connect_queue_changed(std::function<void(mq::store::queue_change_ptr_t)> s) override {
    return changed->connect(std::move(s));
  }
  void put_entry(mq::store::entry_t, callback_t<std::uint64_t>) override { ++requests; }
  void get_entry(std::int64_t, callback_t<mq::store::entry_t> d, const void*) override {
    gets.push_back(d), ++requests;
  }
  void update_entry(std::int64_t id, mq::store::entry_metadata_update_t u, boost::optional<mq::store::shared_file_t>,
                    callback_t<none_t>) override {
    changed_ids.push_back(-id), update = std::move(u), ++requests;  // -id: in order among the removes
  }
  void remove_entry(std::int64_t id, callback_t<none_t>) override {
    changed_ids.push_back(id), ++requests;
    if (on_remove) on_remove();
  }
  void check_health(bool, callback_t<std::string> d) override { reports.push_back(d), ++requests; }
  void flush_queue(mq::store::status_t, callback_t<std::string> d) override { reports.push_back(d), ++requests; }
  void get_queue_chunk(mq::store::queue_chunk_request_t, callback_t<std::vector<mq::store::queue_key_t>>) override {
    ++requests;
  }
  void get_queue_chunk_brief(mq::store::queue_chunk_request_t r, callback_t<std::vector<mq::store::entry_brief_t>> d,
                             wanted_t) override {
    budgets.push_back(r.max_bytes), briefs.push_back(d), ++requests;
  }
  void get_queue_stat(callback_t<mq::store::queue_stats_t> d, wanted_t) override { stats.push_back(d), ++requests; }
  void run_large(const void*, std::function<void()> job, std::function<void()> done) override {
    ++large_jobs;
    std::thread([&io = io, job, done] { job(), boost::asio::post(io, done); }).detach();
  }

  boost::asio::io_context& io;
  std::string spool = "/spool";
  boost::signals2::signal_type<void(mq::store::queue_change_ptr_t),
                               boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type own_changes;
  decltype(own_changes)* changed = &own_changes;  // another store's, to share it
  std::size_t requests = 0, large_jobs = 0;
  all_t<mq::store::entry_t> gets;
  std::vector<std::int64_t> changed_ids;
  mq::store::entry_metadata_update_t update;
  std::function<void()> on_remove;
  all_t<std::string> reports;
  std::vector<std::uint64_t> budgets;
  all_t<std::vector<mq::store::entry_brief_t>> briefs;
  all_t<mq::store::queue_stats_t> stats;
};

}  // namespace mq::test
