#include "store/entry_getter.h"

#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include <sqlite3.h>

#include <boost/asio/executor_work_guard.hpp>

#include "ov/logger.h"
#include "store/file_opener.h"
#include "store/lock_entry.h"
#include "store/metadata_reader.h"
#include "util/loop_standby.h"
#include "util/thrown_by.h"

namespace mq::store {

using mq::util::error_of;
using mq::util::result_t;

namespace {

// Large gets and requests; two, so that one owner's job never stops all.
constexpr std::size_t large_threads = 2;

}  // namespace

entry_getter_t::entry_getter_t(boost::asio::io_context& io, std::shared_ptr<lock_entry_t> locks,
                               std::shared_ptr<bool> alive)
    : io_(io), locks_(std::move(locks)), alive_(std::move(alive)) {}

entry_getter_t::~entry_getter_t() = default;

void entry_getter_t::open(const std::string& db_path, const boost::filesystem::path& queue_dir, bool trace) {
  loop_db_ = std::make_unique<metadata_reader_t>(db_path, trace);
  // The threads are for kernels or sandboxes without io_uring; tests and
  // operators may choose them.
  const char* use_threads = std::getenv("MQ_OPEN_FILES_ON_THREAD");
  const char* on_loop = std::getenv("MQ_OPEN_FILES_ON_LOOP");
  std::shared_ptr<mq::util::loop_standby_t> standby;
  if (!on_loop || std::strcmp(on_loop, "0") != 0) {
    try {
      standby = std::make_shared<mq::util::loop_standby_t>(io_);
    } catch (const std::system_error& e) {
      OV_LOG(warning, "No open runs on the event loop: no standby thread (" << e.code().message() << ")");
    }
  }
  opener_ = std::make_unique<file_opener_t>(io_, queue_dir, use_threads && std::strcmp(use_threads, "1") == 0,
                                            std::move(standby));
  OV_LOG(notice, opener_->description());
  for (std::size_t i = 0; i < large_threads; ++i)
    large_readers_.push_back(std::make_unique<metadata_reader_t>(db_path, trace));
  large_ = std::make_unique<mq::util::fair_pool_t>(large_threads, "mq-large");
}

void entry_getter_t::set_trace(bool trace) {
  if (loop_db_) loop_db_->set_trace(trace);
  for (auto& reader : large_readers_) reader->set_trace(trace);
}

void entry_getter_t::halt() {
  loop_db_.reset();
  opener_.reset();
  // No large job starts any more, and a large read, which may take
  // seconds, ends at once, failing.
  if (large_) large_->stop();
  for (auto& reader : large_readers_) sqlite3_interrupt(reader->connection().handle());
  large_.reset();
  large_readers_.clear();
}

void entry_getter_t::get_entry(std::int64_t id, callback_t<entry_t> callback, const void* owner) {
  if (!loop_db_) return;  // halted: like any read not started
  if (locks_->is_written(id)) {
    // Seen as the requests before it leave the entry.
    locks_->defer(id, [this, id, callback, owner] { get_entry(id, callback, owner); });
    return;
  }
  // The record is read on the event loop: it comes from a snapshot of the
  // log, which no writer holds up, and a hand-off to a thread and back cost
  // more than the read. The file is opened off the loop, since an open may
  // wait for anything (a scanner's verdict, a slow disk); until it is open
  // no write of the entry may take it away.
  auto entry = std::make_shared<entry_t>();
  bool small = false;
  if (auto error = mq::util::thrown_by([&] { small = loop_db_->get_entry(id, entry->metadata, loop_row_limit); })) {
    // On a later turn, never inside the caller's own call.
    boost::asio::post(io_, [alive = alive_, callback = std::move(callback), error] {
      if (*alive) callback(error);
    });
    return;
  }
  locks_->begin_read(id);
  if (small) {
    open_file(id, entry, std::move(callback));
    return;
  }
  // Too large to read in one turn: read whole on the pool, in the owner's
  // turn. The entry stays as it is meanwhile, its writes waiting.
  auto error = std::make_shared<std::exception_ptr>();
  post_large(
      owner,
      [this, id, entry, error](std::size_t thread) {
        *entry = entry_t();
        *error = mq::util::thrown_by([&] { entry->metadata = large_readers_.at(thread)->get_entry(id); });
      },
      [this, id, entry, error, callback] {
        if (!*error) return open_file(id, entry, callback);
        locks_->end_read(id);
        callback(*error);
      });
}

void entry_getter_t::open_file(std::int64_t id, const std::shared_ptr<entry_t>& entry, callback_t<entry_t> callback) {
  if (!opener_) return;  // halted meanwhile
  const std::string name = entry->metadata.message_filename;
  opener_->open(name, [this, id, entry, callback = std::move(callback)](result_t<shared_file_t> file) {
    locks_->end_read(id);
    if (auto error = error_of(file)) {
      callback(error);
      return;
    }
    entry->file = std::move(boost::get<shared_file_t>(file));
    callback(std::move(*entry));
  });
}

void entry_getter_t::run_large(const void* owner, std::function<void()> job, std::function<void()> done) {
  post_large(
      owner, [job = std::move(job)](std::size_t) { job(); }, std::move(done));
}

void entry_getter_t::post_large(const void* owner, std::function<void(std::size_t)> job, std::function<void()> done) {
  if (!large_) return;  // halted: like any work not started
  large_->post(owner, [this, alive = alive_, work = boost::asio::make_work_guard(io_), job = std::move(job),
                       done = std::move(done)](std::size_t thread) mutable {
    job(thread);
    boost::asio::post(io_, [alive, done = std::move(done)] {
      if (*alive) done();
    });
    work.reset();
  });
}

}  // namespace mq::store
