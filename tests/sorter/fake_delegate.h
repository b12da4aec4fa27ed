#pragma once

// A Sorter connection's delegate that records every request and keeps its
// completion, so that a test decides when and how each one completes.

#include <memory>
#include <string>
#include <vector>

#include "sorter/tie.h"
#include "store/store.h"

namespace mq::test {

struct fake_sorter_delegate_t : mq::sorter::tie_t::delegate_t {
  template <class T>
  using completion_t = mq::sorter::tie_t::completion_t<T>;

  struct get_t {
    std::int64_t id;
    completion_t<mq::store::entry_t> done;
  };
  struct put_t {
    mq::store::entry_t entry;
    completion_t<std::uint64_t> done;
  };
  struct update_t {
    std::int64_t id;
    mq::store::entry_metadata_update_t update;
    boost::optional<mq::store::shared_file_t> file;
    completion_t<mq::util::none_t> done;
  };
  struct remove_t {
    std::int64_t id;
    completion_t<mq::util::none_t> done;
  };
  struct chunk_t {
    mq::store::queue_chunk_request_t request;
    completion_t<std::vector<mq::store::queue_key_t>> done;
  };

// GCC 12 with sanitizers sees an uninitialized optional inside the signal's
// connect; it is not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
  boost::signals2::connection subscribe_to_queue_change(mq::sorter::tie_t::queue_change_callback_t callback) override {
    ++subscribes;
    note_call();
    return queue_changed.connect(std::move(callback));
  }
#pragma GCC diagnostic pop
  void get_queue_chunk(mq::store::queue_chunk_request_t request,
                       completion_t<std::vector<mq::store::queue_key_t>> done) override {
    note_call();
    chunks.push_back({request, std::move(done)});
  }
  void get_entry(std::int64_t id, completion_t<mq::store::entry_t> done) override {
    gets.push_back({id, std::move(done)});
  }
  void put_entry(mq::store::entry_t entry, completion_t<std::uint64_t> done) override {
    note_call();
    puts.push_back({std::move(entry), std::move(done)});
  }
  void update_entry(std::int64_t id, mq::store::entry_metadata_update_t update,
                    boost::optional<mq::store::shared_file_t> file, completion_t<mq::util::none_t> done) override {
    note_call();
    updates.push_back({id, std::move(update), std::move(file), std::move(done)});
  }
  void remove_entry(std::int64_t id, completion_t<mq::util::none_t> done) override {
    note_call();
    removes.push_back({id, std::move(done)});
  }
  void on_disconnected() override {
    note_call();
    ++disconnects;
    tie.reset();
  }

  // A call that comes while the connection object is still being built
  // (its owner could not yet hold it).
  void note_call() {
    if (!tie) ++calls_while_building;
  }

  std::size_t requests() const { return gets.size() + puts.size() + updates.size() + removes.size() + chunks.size(); }

  std::unique_ptr<mq::sorter::tie_t> tie;
  mq::store::store_t::queue_changed_t queue_changed;
  int subscribes = 0;
  int disconnects = 0;
  int calls_while_building = 0;
  std::vector<get_t> gets;
  std::vector<put_t> puts;
  std::vector<update_t> updates;
  std::vector<remove_t> removes;
  std::vector<chunk_t> chunks;
};

}  // namespace mq::test
