#include "store/store.h"

#include <algorithm>
#include <future>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>

#include "ov/error.h"
#include "ov/logger.h"
#include "store/health_check.h"
#include "store/lock_entry.h"
#include "store/queue_counts.h"

namespace mq::store {

namespace fs = boost::filesystem;
using mq::util::error_of;
using mq::util::none_t;
using mq::util::result_t;

namespace {

// Two, so that a slow read (a long page, a cold file) does not hold up the
// next; more would only compete for the same cores.
constexpr std::size_t reader_threads = 2;

std::string health_report(const async_message_dir_t::health_stat_t& s, bool fix) {
  std::ostringstream out;
  if (!fix) {
    if (s.orphaned_db_records) out << s.orphaned_db_records << " orphaned DB records\n";
    if (s.orphaned_files) out << s.orphaned_files << " orphaned message files (" << s.orphaned_bytes << " bytes)\n";
    if (s.non_regular_files) out << s.non_regular_files << " non-regular files in the message directory\n";
    if (!s.orphaned_db_records && !s.orphaned_files && !s.non_regular_files) return "Ok";
    return out.str();
  }
  if (s.orphaned_db_records) out << "Removed " << s.orphaned_db_records << " orphaned DB records\n";
  if (s.orphaned_files) {
    out << "Removed " << s.removed_files << "/" << s.orphaned_files << " orphaned message files (" << s.removed_bytes
        << "/" << s.orphaned_bytes << " bytes)\n";
  }
  if (s.non_regular_files) {
    out << "Didn't remove " << s.non_regular_files << " non-regular files in the message directory "
        << "(this has to be fixed manually)\n";
  }
  return out.str();
}

}  // namespace

store_t::store_t(boost::asio::io_context& io) : store_t(io, nullptr) {}

store_t::store_t(boost::asio::io_context& io, std::shared_ptr<store_hooks_t> hooks)
    : io_(io),
      dir_(std::make_unique<async_message_dir_t>(io)),
      db_(std::make_unique<async_metadata_writer_t>(io)),
      locks_(std::make_shared<lock_entry_t>()),
      hooks_(std::move(hooks)),
      alive_(std::make_shared<bool>(true)),
      getter_(io, locks_, alive_),
      writer_(
          std::make_unique<entry_writer_t>(io, *dir_, *db_, locks_, hooks_, alive_, [this](const std::string& name) {
            if (!checks_.empty()) checks_.front()->settled(name);
          })) {
  std::function<void()> before_read;
  if (hooks_) {
    // On the reading thread: the hooks start or fail the read on the event
    // loop, and the thread waits for their word.
    before_read = [this, alive = alive_] {
      auto decided = std::make_shared<std::promise<void>>();
      auto word = decided->get_future();
      boost::asio::post(io_, [this, alive, decided] {
        if (!*alive) {
          decided->set_exception(std::make_exception_ptr(std::runtime_error("Store is closed")));
          return;
        }
        hooks_->on_start(
            store_hooks_t::op_t::read, store_hooks_t::half_t::db, "", [decided] { decided->set_value(); },
            [decided](std::exception_ptr e) { decided->set_exception(std::move(e)); });
      });
      word.get();
    };
  }
  reader_ = std::make_unique<async_reader_t>(io, reader_threads, std::move(before_read));
}

store_t::~store_t() { close(); }

void store_t::open(const std::string& spool_dir, std::uint32_t uid, std::uint32_t gid, bool trace) {
  path_ = spool_dir;
  const fs::path spool(spool_dir);
  fs::create_directories(spool);
  fs::permissions(spool, fs::perms::owner_all | fs::perms::group_all);

  // Both halves start at once, each on its own worker.
  std::future<void> dir_ready = dir_->init(spool / "queue", uid, gid);
  // The database refuses a link anywhere in its name; links above the spool
  // directory are the administrator's and are resolved here.
  const std::string db_path = (fs::canonical(spool) / "queue.db").string();
  std::future<void> db_ready = db_->init(db_path, trace);
  dir_ready.wait();
  db_ready.wait();
  dir_ready.get();
  db_ready.get();
  // Only now do the database's schema and the directory exist.
  reader_->open(db_path, trace);
  getter_.open(db_path, spool / "queue", trace);
}

void store_t::reconfigure(std::uint32_t uid, std::uint32_t gid, bool trace) {
  db_->set_trace(trace);
  reader_->set_trace(trace);
  getter_.set_trace(trace);
  dir_->reload(uid, gid).get();
}

void store_t::halt() {
  if (!db_) return;
  // Whatever was queued behind a busy database would each wait the busy
  // limit again, and a write stored now would go unanswered.
  db_->stop();
  reader_->stop();
  getter_.halt();
  db_->join();
}

void store_t::close() {
  if (!db_ && !dir_) return;
  halt();
  *alive_ = false;
  // Files only: writes of puts whose records never come (left for the
  // health check) and removals of files whose records are gone.
  std::future<void> dir_stopped = dir_->stop();
  try {
    dir_stopped.get();
  } catch (...) {
    OV_LOG(error, "Store: Message directory: " << ov::exception_text(std::current_exception()));
  }
  writer_.reset();
  locks_.reset();
  reader_.reset();
  db_.reset();
  dir_.reset();
  queue_changed_.disconnect_all_slots();
}

void store_t::put_entry(entry_t entry, callback_t<std::uint64_t> callback) {
  writer_->put_entry(std::move(entry), std::move(callback));
}

void store_t::update_entry(std::int64_t id, entry_metadata_update_t update, boost::optional<shared_file_t> file,
                           callback_t<none_t> callback) {
  writer_->update_entry(id, std::move(update), std::move(file), std::move(callback));
}

void store_t::remove_entry(std::int64_t id, callback_t<none_t> callback) { writer_->remove_entry(id, callback); }

void store_t::get_entry(std::int64_t id, callback_t<entry_t> callback, const void* owner) {
  getter_.get_entry(id, std::move(callback), owner);
}

void store_t::run_large(const void* owner, std::function<void()> job, std::function<void()> done) {
  getter_.run_large(owner, std::move(job), std::move(done));
}

void store_t::check_health(bool fix, callback_t<std::string> callback) {
  OV_LOG(info, "Store: Starting health check...");
  auto check = std::make_shared<health_check_t>(
      *db_, *dir_, fs::path(path_) / "queue", fix, [this](const std::string& name) { return writer_->in_flight(name); },
      hooks_,
      [this, fix, callback](result_t<health_check_t::stat_t> r) {
        checks_.pop_front();
        if (!checks_.empty()) {
          auto next = checks_.front();
          next->start();
        }
        if (auto error = error_of(r)) {
          OV_LOG(error, "Store: Health check: " << ov::exception_text(error));
          callback(error);
          return;
        }
        std::string report = health_report(boost::get<health_check_t::stat_t>(r), fix);
        OV_LOG(info, "Store: Health check finished: " << report);
        callback(std::move(report));
      });
  checks_.push_back(check);
  if (checks_.size() == 1) check->start();
}

void store_t::flush_queue(status_t status, callback_t<std::string> callback) {
  const std::string name = status_log_name(status);
  OV_LOG(info, "Store: Flushing " << name << " queue");
  db_->flush_queue(status, [this, alive = alive_, status, name, callback](result_t<std::vector<queue_key_t>> r) {
    if (auto error = error_of(r)) {
      OV_LOG(info, "Store: Flushing " << name << " queue: " << ov::exception_text(error));
      callback(error);
      return;
    }
    auto& keys = boost::get<std::vector<queue_key_t>>(r);
    OV_LOG(info, "Store: Flushed " << name << " queue");
    callback("Flushed " + std::to_string(keys.size()) + " entries");
    // The caller hears first; sessions learn of the change after.
    if (keys.empty() || !*alive) return;
    auto change = std::make_shared<queue_change_t>();
    change->keys = std::move(keys);
    change->status = status;
    queue_changed_(std::move(change));
  });
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
boost::signals2::connection store_t::connect_queue_changed(std::function<void(queue_change_ptr_t)> slot) {
  return queue_changed_.connect(slot);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void store_t::get_queue_chunk(queue_chunk_request_t request, callback_t<std::vector<queue_key_t>> callback) {
  reader_->get_queue_chunk(request, std::move(callback));
}

void store_t::get_queue_chunk_brief(queue_chunk_request_t request, callback_t<std::vector<entry_brief_t>> callback,
                                    wanted_t wanted) {
  reader_->get_queue_chunk_brief(request, std::move(callback), std::move(wanted));
}

void store_t::get_queue_stat(callback_t<queue_stats_t> callback, wanted_t wanted) {
  // Current counts need no reading thread: the answer leaves at once and
  // takes no turn from the gets.
  if (const auto& counts = db_->counts()) {
    if (auto stats = counts->current_now()) {
      deliver(std::move(callback), result_t<queue_stats_t>(*stats));
      return;
    }
  }
  // Another process changed the database: the writer counts again, and
  // passes over the queue stop.
  reader_->get_queue_stat(
      db_->counts(), [db = db_.get()] { db->refresh_counts(); }, std::move(callback), std::move(wanted));
}

}  // namespace mq::store
