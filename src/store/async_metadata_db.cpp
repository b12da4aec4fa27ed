#include "store/async_metadata_db.h"

#include <stdexcept>
#include <utility>

#include "ov/error.h"
#include "ov/logger.h"
#include "store/metadata_db.h"

#define DB_LOG(level, stream_expr) OV_LOG(level, "Queue metadata db: " << stream_expr)

namespace mq::store {

async_metadata_db_t::async_metadata_db_t(boost::asio::io_context& io) : worker_(io) {}

// The worker goes first (it is the later member), so no task can touch the
// database while it closes.
async_metadata_db_t::~async_metadata_db_t() = default;

metadata_db_t& async_metadata_db_t::db() {
  if (!db_) throw std::runtime_error("Queue metadata db is not open");
  return *db_;
}

std::future<void> async_metadata_db_t::init(const std::string& path, bool trace) {
  DB_LOG(debug, "Init");
  std::promise<void> promise;
  auto future = promise.get_future();
  worker_.post([this, path, trace, promise = std::move(promise)]() mutable {
    try {
      auto db = std::make_unique<metadata_db_t>(path, trace);
      db_ = std::move(db);
      promise.set_value();
    } catch (...) {
      promise.set_exception(std::current_exception());
    }
  });
  return future;
}

std::future<void> async_metadata_db_t::stop() {
  DB_LOG(debug, "Stop");
  std::promise<void> promise;
  auto future = promise.get_future();
  worker_.post([promise = std::move(promise)]() mutable { promise.set_value(); });
  return future;
}

void async_metadata_db_t::set_trace(bool trace) {
  worker_.post([this, trace] {
    if (db_) db_->set_trace(trace);
  });
}

void async_metadata_db_t::put_entry(entry_metadata_t metadata, callback_t<std::uint64_t> callback) {
  std::string session_id = metadata.session_id.value_or(std::string());
  DB_LOG(debug, "Put entry " << session_id);
  worker_.post_result([this, metadata = std::move(metadata)] { return db().put_entry(metadata); },
                      wrap([session_id = std::move(session_id),
                            callback = std::move(callback)](mq::util::result_t<std::uint64_t> result) {
                        if (auto error = mq::util::error_of(result)) {
                          DB_LOG(error, "Put entry " << session_id << ": " << ov::exception_text(error));
                        } else {
                          DB_LOG(debug, "Put entry " << session_id << ": id=" << boost::get<std::uint64_t>(result));
                        }
                        callback(std::move(result));
                      }));
}

void async_metadata_db_t::get_entry(std::int64_t id, callback_t<entry_metadata_t> callback) {
  worker_.post_result([this, id] { return db().get_entry(id); }, wrap(std::move(callback)));
}

void async_metadata_db_t::update_entry(std::int64_t id, entry_metadata_update_t update,
                                       callback_t<std::string> callback) {
  update_existing_entry(id, std::move(update),
                        [callback = std::move(callback)](mq::util::result_t<boost::optional<std::string>> result) {
                          if (auto error = mq::util::error_of(result)) {
                            callback(error);
                            return;
                          }
                          callback(boost::get<boost::optional<std::string>>(result).value_or(std::string()));
                        });
}

void async_metadata_db_t::update_existing_entry(std::int64_t id, entry_metadata_update_t update,
                                                callback_t<boost::optional<std::string>> callback) {
  DB_LOG(debug, "Update entry " << id);
  worker_.post_result(
      [this, id, update = std::move(update)] { return db().update_existing_entry(id, update); },
      wrap([id, callback = std::move(callback)](mq::util::result_t<boost::optional<std::string>> result) {
        if (auto error = mq::util::error_of(result)) {
          DB_LOG(error, "Update entry " << id << ": " << ov::exception_text(error));
        } else {
          DB_LOG(debug, "Update entry " << id << ": success");
        }
        callback(std::move(result));
      }));
}

void async_metadata_db_t::remove_entry(std::int64_t id, callback_t<boost::optional<std::string>> callback) {
  DB_LOG(debug, "Remove entry " << id);
  worker_.post_result(
      [this, id] { return db().remove_entry(id); },
      wrap([id, callback = std::move(callback)](mq::util::result_t<boost::optional<std::string>> result) {
        if (auto error = mq::util::error_of(result)) {
          DB_LOG(error, "Remove entry " << id << ": " << ov::exception_text(error));
        }
        callback(std::move(result));
      }));
}

void async_metadata_db_t::get_queue_stat(callback_t<queue_stats_t> callback) {
  worker_.post_result([this] { return db().get_queue_stat(); }, wrap(std::move(callback)));
}

void async_metadata_db_t::get_queue_chunk(queue_chunk_request_t request,
                                          callback_t<std::vector<queue_key_t>> callback) {
  worker_.post_result([this, request] { return db().get_queue_chunk(request); }, wrap(std::move(callback)));
}

void async_metadata_db_t::get_queue_chunk_brief(queue_chunk_request_t request,
                                                callback_t<std::vector<entry_brief_t>> callback) {
  worker_.post_result([this, request] { return db().get_queue_chunk_brief(request); }, wrap(std::move(callback)));
}

void async_metadata_db_t::flush_queue(status_t status, callback_t<std::vector<queue_key_t>> callback) {
  worker_.post_result([this, status] { return db().flush_queue(status); }, wrap(std::move(callback)));
}

void async_metadata_db_t::check_health(std::promise<std::vector<health_check_entry_t>> records,
                                       std::future<std::vector<std::int64_t>> orphan_ids, std::promise<void> done,
                                       bool fix) {
  worker_.post(
      [this, records = std::move(records), orphan_ids = std::move(orphan_ids), done = std::move(done), fix]() mutable {
        if (!db_) {
          // Both waiting sides learn of it; nothing can be checked.
          auto error = std::make_exception_ptr(std::runtime_error("Queue metadata db is not open"));
          records.set_exception(error);
          done.set_exception(error);
          return;
        }
        db_->check_health(records, orphan_ids, done, fix);
      });
}

}  // namespace mq::store
