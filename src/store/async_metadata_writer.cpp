#include "store/async_metadata_writer.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <stdexcept>
#include <vector>

#include <boost/asio/post.hpp>
#include <utility>

#include "ov/error.h"
#include "ov/logger.h"
#include "store/metadata_writer.h"
#include "store/queue_counts.h"

// NOLINTNEXTLINE(bugprone-macro-parentheses): the argument is a chain of <<
#define DB_LOG(level, stream_expr) OV_LOG(level, "Queue metadata db: " << stream_expr)

namespace mq::store {

namespace {

// A group ends at this many operations or this many bytes of records, so
// that the first of them does not wait too long for its COMMIT.
constexpr std::size_t max_group_ops = 128;
constexpr std::size_t max_group_bytes = 4u << 20;

std::size_t record_bytes(const entry_metadata_t& m) {
  std::size_t n = 256 + m.message_filename.size() + m.smtp_sender.sender.size();
  for (const auto& r : m.smtp_recipients) n += 64 + r.recipient.size();
  for (const auto& p : m.content.mime_parts) n += 64 + p.path.size() + 128 * p.samples.size();
  for (const auto& u : m.content.urls) n += 64 + u.url.size();
  return n;
}

bool outcome_unknown(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const sqlite::outcome_unknown_t&) {
    return true;
  } catch (...) {
    return false;
  }
}

// Neither an answer nor an undo can be right after a COMMIT whose outcome is
// unknown: the error leaves the event loop and ends the process; the next
// start reconciles.
template <class T>
std::function<void(mq::util::result_t<T>)> ending_on_unknown(std::function<void(mq::util::result_t<T>)> callback) {
  return [callback = std::move(callback)](mq::util::result_t<T> result) {
    if (auto error = mq::util::error_of(result); outcome_unknown(error)) std::rethrow_exception(error);
    callback(std::move(result));
  };
}

}  // namespace

// One write waiting for the database worker.
class async_metadata_writer_t::write_t : public group_worker_t<write_t>::task_t {
 public:
  using group_worker_t<write_t>::task_t::task_t;
  // Keeps the outcome on success; throws on failure.
  virtual void apply(metadata_writer_t& db) = 0;
};

template <class T>
class async_metadata_writer_t::write_op_t : public write_t {
 public:
  write_op_t(group_worker_t<write_t>& worker, std::size_t bytes, std::function<T(metadata_writer_t&)> op,
             callback_t<T> callback)
      : write_t(worker, bytes, true), op_(std::move(op)), callback_(std::move(callback)) {}

  void apply(metadata_writer_t& db) override { value_ = op_(db); }

  std::function<void()> outcome(std::exception_ptr error) override {
    T value = error ? T{} : std::move(value_);
    return [callback = std::move(callback_), value = std::move(value), error = std::move(error)]() mutable {
      callback(mq::util::make_result(std::move(value), error));
    };
  }

 private:
  std::function<T(metadata_writer_t&)> op_;
  callback_t<T> callback_;
  T value_{};
};

template <class T, class F>
void async_metadata_writer_t::post_write(F op, std::size_t bytes, callback_t<T> callback) {
  pending_.push_back(std::make_unique<write_op_t<T>>(
      worker_, bytes, std::function<T(metadata_writer_t&)>(std::move(op)), std::move(callback)));
  if (pending_.size() == 1) boost::asio::post(worker_.loop(), wrap([this] { submit(); }));
}

void async_metadata_writer_t::submit() {
  worker_.worker().post_all(std::move(pending_));
  pending_.clear();
}

mq::util::async_worker_t& async_metadata_writer_t::worker() {
  submit();
  return worker_.worker();
}

void async_metadata_writer_t::run_writes(group_worker_t<write_t>::group_t& group) {
  std::vector<std::exception_ptr> errors(group.size());
  try {
    metadata_writer_t& database = db();
    std::vector<std::function<void()>> ops;
    for (std::size_t i = 0; i < group.size(); ++i)
      ops.push_back([write = &group[i], &database] { write->apply(database); });
    errors = database.run_group(ops);
  } catch (...) {
    for (auto& error : errors) error = std::current_exception();
  }
  // Before the answers: whoever hears of a write sees it counted.
  if (counts_) counts_->publish();
  // Every callback only now: nothing is acknowledged before its COMMIT, and
  // one turn of the event loop answers the whole group.
  auto unknown = std::find_if(errors.begin(), errors.end(), outcome_unknown);
  if (unknown != errors.end()) {
    // As ending_on_unknown, without answering any write of the group.
    boost::asio::post(worker_.loop(), [error = *unknown] { std::rethrow_exception(error); });
    group.release();
  } else {
    group.answer(std::move(errors));
  }
  checkpoint();
}

void async_metadata_writer_t::checkpoint() {
  if (db_) db_->checkpoint_if_due();
}

async_metadata_writer_t::async_metadata_writer_t(boost::asio::io_context& io)
    : worker_(io, "mq-writer", {max_group_ops, max_group_bytes},
              [this](group_worker_t<write_t>::group_t& group) { run_writes(group); }) {}

// The worker goes first (it is the later member), so no task can touch the
// database while it closes.
async_metadata_writer_t::~async_metadata_writer_t() = default;

metadata_writer_t& async_metadata_writer_t::db() {
  if (!db_) throw std::runtime_error("Queue metadata db is not open");
  return *db_;
}

std::future<void> async_metadata_writer_t::init(const std::string& path, bool trace) {
  DB_LOG(debug, "Init");
  std::promise<void> promise;
  auto future = promise.get_future();
  worker().post([this, path, trace, promise = std::move(promise)]() mutable {
    auto error = mq::util::thrown_by([&] {
      auto db = std::make_unique<metadata_writer_t>(path, trace);
      counts_ = std::make_shared<queue_counts_t>(db->connection(), path);
      db_ = std::move(db);
    });
    if (error) {
      promise.set_exception(std::move(error));
    } else {
      promise.set_value();
    }
  });
  return future;
}

void async_metadata_writer_t::stop() {
  DB_LOG(debug, "Stop");
  // Writes of this turn not handed over yet are dropped with the queued ones.
  pending_.clear();
  worker_.worker().stop();
}

void async_metadata_writer_t::join() { worker_.worker().join(); }

void async_metadata_writer_t::set_trace(bool trace) {
  worker().post([this, trace] {
    if (db_) db_->set_trace(trace);
  });
}

struct async_metadata_writer_t::staged_put_t {
  std::shared_ptr<const entry_metadata_t> metadata;
  std::vector<metadata_writer_t::put_piece_t> pieces;
  std::size_t next = 0;
  std::int64_t id = 0;
  callback_t<std::uint64_t> callback;
};

void async_metadata_writer_t::put_entry(entry_metadata_t metadata, callback_t<std::uint64_t> callback) {
  std::string session_id = metadata.session_id.value_or(std::string());
  DB_LOG(debug, "Put entry " << session_id);
  callback = [session_id = std::move(session_id),
              callback = std::move(callback)](mq::util::result_t<std::uint64_t> result) {
    if (auto error = mq::util::error_of(result)) {
      DB_LOG(error, "Put entry " << session_id << ": " << ov::exception_text(error));
    } else {
      DB_LOG(debug, "Put entry " << session_id << ": id=" << boost::get<std::uint64_t>(result));
    }
    callback(std::move(result));
  };
  auto pieces = metadata_writer_t::pieces_of(metadata);
  if (pieces.empty()) {
    const std::size_t bytes = record_bytes(metadata);
    post_write<std::uint64_t>(
        [metadata = std::move(metadata)](metadata_writer_t& db) { return db.put_entry(metadata); }, bytes,
        wrap(std::move(callback)));
    return;
  }
  auto put = std::make_shared<staged_put_t>();
  put->metadata = std::make_shared<const entry_metadata_t>(std::move(metadata));
  put->pieces = std::move(pieces);
  put->callback = std::move(callback);
  post_write<std::int64_t>([m = put->metadata](metadata_writer_t& db) { return db.begin_put(*m); }, 4096,
                           wrap([this, put](mq::util::result_t<std::int64_t> r) {
                             if (auto error = mq::util::error_of(r)) return put->callback(error);
                             put->id = boost::get<std::int64_t>(r);
                             put_next_piece(put);
                           }));
}

void async_metadata_writer_t::put_next_piece(const std::shared_ptr<staged_put_t>& put) {
  if (put->next == put->pieces.size()) {
    post_write<std::uint64_t>(
        [id = put->id, status = put->metadata->status](metadata_writer_t& db) { return db.end_put(id, status); }, 64,
        wrap([this, put](mq::util::result_t<std::uint64_t> r) {
          if (auto error = mq::util::error_of(r)) return fail_staged_put(put, error);
          put->callback(std::move(r));
        }));
    return;
  }
  const auto& piece = put->pieces[put->next++];
  const std::size_t bytes = 64 * (piece.recipients_to - piece.recipients_from + piece.parts_to - piece.parts_from +
                                  piece.urls_to - piece.urls_from);
  post_write<bool>(
      [id = put->id, m = put->metadata, piece](metadata_writer_t& db) {
        db.put_piece(id, *m, piece);
        return true;
      },
      bytes, wrap([this, put](const mq::util::result_t<bool>& r) {
        if (auto error = mq::util::error_of(r)) return fail_staged_put(put, error);
        put_next_piece(put);
      }));
}

void async_metadata_writer_t::fail_staged_put(const std::shared_ptr<staged_put_t>& put, std::exception_ptr error) {
  // What was stored goes; should that fail too, the next open removes it.
  post_write<bool>(
      [id = put->id](metadata_writer_t& db) {
        db.drop_put(id);
        return true;
      },
      64, wrap([](const mq::util::result_t<bool>&) {}));
  put->callback(error);
}

void async_metadata_writer_t::update_entry(std::int64_t id, entry_metadata_update_t update,
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

void async_metadata_writer_t::update_existing_entry(std::int64_t id, entry_metadata_update_t update,
                                                    callback_t<boost::optional<std::string>> callback) {
  DB_LOG(debug, "Update entry " << id);
  const std::size_t bytes = 256 + update.smtp_recipients.size() * 64 + update.content.mime_parts.size() * 128;
  post_write<boost::optional<std::string>>(
      [id, update = std::move(update)](metadata_writer_t& db) { return db.update_existing_entry(id, update); }, bytes,
      wrap([id, callback = std::move(callback)](mq::util::result_t<boost::optional<std::string>> result) {
        if (auto error = mq::util::error_of(result)) {
          DB_LOG(error, "Update entry " << id << ": " << ov::exception_text(error));
        } else {
          DB_LOG(debug, "Update entry " << id << ": success");
        }
        callback(std::move(result));
      }));
}

void async_metadata_writer_t::remove_entry(std::int64_t id, callback_t<boost::optional<std::string>> callback) {
  DB_LOG(debug, "Remove entry " << id);
  post_write<boost::optional<std::string>>(
      [id](metadata_writer_t& db) { return db.remove_entry(id); }, 64,
      wrap([id, callback = std::move(callback)](mq::util::result_t<boost::optional<std::string>> result) {
        if (auto error = mq::util::error_of(result)) {
          DB_LOG(error, "Remove entry " << id << ": " << ov::exception_text(error));
        }
        callback(std::move(result));
      }));
}

void async_metadata_writer_t::refresh_counts() {
  // Straight to the worker: pending_ belongs to the event loop.
  worker_.worker().post([this] {
    if (counts_) counts_->publish();
  });
}

void async_metadata_writer_t::flush_queue(status_t status, callback_t<std::vector<queue_key_t>> callback) {
  worker().post_result(
      [this, status] {
        auto keys = db().flush_queue(status);
        counts_->publish();
        return keys;
      },
      wrap(ending_on_unknown<std::vector<queue_key_t>>(std::move(callback))));
  // After the answer has gone.
  worker().post([this] { checkpoint(); });
}

void async_metadata_writer_t::list_entries(std::int64_t after, std::size_t limit,
                                           callback_t<std::vector<health_check_entry_t>> callback) {
  worker().post_result([this, after, limit] { return db().list_entries(after, limit); }, wrap(std::move(callback)));
}

void async_metadata_writer_t::settle_orphan_records(std::vector<std::int64_t> ids,
                                                    std::function<bool(const std::string&)> present, bool fix,
                                                    callback_t<std::size_t> callback) {
  worker().post_result(
      [this, ids = std::move(ids), present = std::move(present), fix] {
        // Published even when a removal failed: the ones before it are stored.
        struct publish_t {
          queue_counts_t* counts;
          ~publish_t() {
            if (counts) counts->publish();
          }
        } publish{fix ? counts_.get() : nullptr};
        return db().settle_orphan_records(ids, present, fix);
      },
      wrap(ending_on_unknown<std::size_t>(std::move(callback))));
  if (fix) worker().post([this] { checkpoint(); });
}

}  // namespace mq::store
