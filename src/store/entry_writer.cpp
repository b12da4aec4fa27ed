#include "store/entry_writer.h"

#include <utility>

#include <boost/asio/post.hpp>

#include "store/lock_entry.h"

namespace mq::store {

using mq::util::error_of;
using mq::util::none_t;
using mq::util::result_t;
using op_t = store_hooks_t::op_t;
using half_t = store_hooks_t::half_t;

namespace {

void ignore_error(const std::exception_ptr&) {}

}  // namespace

// One put, from its file to its record.
struct entry_writer_t::op_ctx_t {
  callback_t<std::uint64_t> callback;
  std::string message_filename;
  entry_metadata_t metadata;
};

struct entry_writer_t::update_ctx_t {
  std::int64_t id;
  std::string message_filename;
  entry_metadata_update_t update;
  callback_t<none_t> callback;
};

entry_writer_t::entry_writer_t(boost::asio::io_context& io, async_message_dir_t& dir, async_metadata_writer_t& db,
                               std::shared_ptr<lock_entry_t> locks, std::shared_ptr<store_hooks_t> hooks,
                               std::shared_ptr<bool> alive, std::function<void(const std::string&)> settled)
    : io_(io),
      dir_(dir),
      db_(db),
      locks_(std::move(locks)),
      hooks_(std::move(hooks)),
      alive_(std::move(alive)),
      settled_(std::move(settled)) {}

template <class Start, class Fail>
void entry_writer_t::start_half(op_t op, half_t half, const std::string& name, Start&& start, Fail&& fail) {
  if (!hooks_) {
    start();
    return;
  }
  // A failure from the hooks arrives later on the event loop, like a real
  // completion.
  hooks_->on_start(op, half, name, std::function<void()>(std::forward<Start>(start)),
                   [this, alive = alive_, fail = std::function<void(std::exception_ptr)>(std::forward<Fail>(fail))](
                       const std::exception_ptr& error) {
                     boost::asio::post(io_, [alive, fail, error] {
                       if (*alive) fail(error);
                     });
                   });
}

void entry_writer_t::write_file(op_t op, const std::string& name, const std::shared_ptr<shared_file_t>& source,
                                half_done_t done) {
  auto finished = [this, op, name, done = std::move(done)](const std::exception_ptr& error) {
    if (hooks_) hooks_->on_done(op, half_t::file, name, error);
    done(error);
  };
  start_half(
      op, half_t::file, name, [this, name, source, finished] { dir_.put_file(name, source, finished); }, finished);
}

void entry_writer_t::in_flight_done(const std::string& name) {
  auto it = in_flight_.find(name);
  if (it != in_flight_.end()) in_flight_.erase(it);
  settled_(name);
}

void entry_writer_t::put_entry(entry_t entry, callback_t<std::uint64_t> callback) {
  const std::string name = make_message_filename(entry.metadata.session_id);
  entry.metadata.message_filename = name;
  auto ctx = std::make_shared<op_ctx_t>();
  ctx->callback = std::move(callback);
  ctx->message_filename = name;
  ctx->metadata = std::move(entry.metadata);
  in_flight_.insert(name);

  auto source = std::make_shared<shared_file_t>(std::move(entry.file));
  write_file(op_t::put, name, source, [this, ctx](const std::exception_ptr& e) { put_file_done(ctx, e); });
}

void entry_writer_t::put_file_done(const std::shared_ptr<op_ctx_t>& ctx, std::exception_ptr error) {
  if (error) {
    in_flight_done(ctx->message_filename);
    ctx->callback(error);
    return;
  }
  // The record goes in only once the file and its name are durable: a crash
  // leaves at worst an orphaned file, never a record without its file.
  start_half(
      op_t::put, half_t::db, ctx->message_filename,
      [this, ctx] {
        db_.put_entry(std::move(ctx->metadata),
                      [this, ctx](result_t<std::uint64_t> r) { put_db_done(ctx, std::move(r)); });
      },
      [this, ctx](const std::exception_ptr& e) { put_db_done(ctx, mq::util::make_error_result<std::uint64_t>(e)); });
}

void entry_writer_t::put_db_done(const std::shared_ptr<op_ctx_t>& ctx, result_t<std::uint64_t> result) {
  if (hooks_) hooks_->on_done(op_t::put, half_t::db, ctx->message_filename, error_of(result));
  in_flight_done(ctx->message_filename);
  if (auto error = error_of(result)) {
    dir_.delete_file(ctx->message_filename, ignore_error);
    ctx->callback(error);
    return;
  }
  ctx->callback(boost::get<std::uint64_t>(result));
}

void entry_writer_t::update_entry(std::int64_t id, entry_metadata_update_t update, boost::optional<shared_file_t> file,
                                  callback_t<none_t> callback) {
  if (locks_->is_locked(id)) {
    // An update is replacing the entry's file: requests for one entry take
    // effect in the order they came.
    auto held = std::make_shared<std::pair<entry_metadata_update_t, boost::optional<shared_file_t>>>(std::move(update),
                                                                                                     std::move(file));
    locks_->defer(id, [this, id, held, callback] {
      update_entry(id, std::move(held->first), std::move(held->second), callback);
    });
    return;
  }
  if (!file) {
    // Only the record changes: later writes keep their order on the
    // database worker, reads wait.
    locks_->begin_write(id);
    db_.update_entry(id, std::move(update), [this, id, callback](const result_t<std::string>& r) {
      locks_->end_write(id);
      if (auto error = error_of(r)) {
        callback(error);
        return;
      }
      callback(none_t{});
    });
    return;
  }

  auto ctx = std::make_shared<update_ctx_t>();
  ctx->id = id;
  ctx->message_filename = make_message_filename(boost::none);
  ctx->update = std::move(update);
  ctx->update.message_filename = ctx->message_filename;
  ctx->callback = std::move(callback);
  locks_->lock(id);
  in_flight_.insert(ctx->message_filename);

  auto source = std::make_shared<shared_file_t>(std::move(*file));
  write_file(op_t::update, ctx->message_filename, source,
             [this, ctx](const std::exception_ptr& e) { update_file_done(ctx, e); });
}

void entry_writer_t::update_file_done(const std::shared_ptr<update_ctx_t>& ctx, std::exception_ptr error) {
  if (error) {
    in_flight_done(ctx->message_filename);
    locks_->unlock(ctx->id);
    auto callback = std::move(ctx->callback);
    callback(error);
    return;
  }
  start_half(
      op_t::update, half_t::db, ctx->message_filename,
      [this, ctx] {
        db_.update_existing_entry(
            ctx->id, std::move(ctx->update),
            [this, ctx](result_t<boost::optional<std::string>> r) { update_db_done(ctx, std::move(r)); });
      },
      [this, ctx](const std::exception_ptr& e) {
        update_db_done(ctx, mq::util::make_error_result<boost::optional<std::string>>(e));
      });
}

void entry_writer_t::update_db_done(const std::shared_ptr<update_ctx_t>& ctx,
                                    result_t<boost::optional<std::string>> result) {
  if (hooks_) hooks_->on_done(op_t::update, half_t::db, ctx->message_filename, error_of(result));
  in_flight_done(ctx->message_filename);
  auto callback = std::move(ctx->callback);
  if (auto error = error_of(result)) {
    dir_.delete_file(ctx->message_filename, ignore_error);
    locks_->unlock(ctx->id);
    callback(error);
    return;
  }
  const auto& previous = boost::get<boost::optional<std::string>>(result);
  // No entry took the new file: it would only wait for the health check.
  if (!previous)
    dir_.delete_file(ctx->message_filename, ignore_error);
  else if (!previous->empty())
    dir_.delete_file(*previous, ignore_error);
  locks_->unlock(ctx->id);
  callback(none_t{});
}

void entry_writer_t::remove_entry(std::int64_t id, const callback_t<none_t>& callback) {
  if (locks_->is_locked(id)) {
    // An update is replacing the entry's file: remove the entry with its new
    // file once it is done (and anything deferred before this has run).
    locks_->defer(id, [this, id, callback] { remove_entry(id, callback); });
    return;
  }
  do_remove(id, callback);
}

void entry_writer_t::do_remove(std::int64_t id, const callback_t<none_t>& callback) {
  locks_->begin_write(id);
  db_.remove_entry(id, [this, id, callback](result_t<boost::optional<std::string>> r) {
    locks_->end_write(id);
    if (auto error = error_of(r)) {
      callback(error);
      return;
    }
    const auto& name = boost::get<boost::optional<std::string>>(r);
    if (name && !name->empty()) dir_.delete_file(*name, ignore_error);
    callback(none_t{});
  });
}

}  // namespace mq::store
