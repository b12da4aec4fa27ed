#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/optional.hpp>

#include "store/async_message_dir.h"
#include "store/async_metadata_writer.h"
#include "store/entry.h"
#include "store/port.h"
#include "store/store_hooks.h"
#include "util/result.h"

namespace mq::store {

class lock_entry_t;

// The store's writes of entries. A put, or an update with a new file, in two
// halves: the file written and synced on the directory worker, then the
// record on the database worker, so that a crash leaves at worst an
// orphaned file, never a record without its file. A remove: the record,
// then its file. An update that replaces the file locks the entry, so that
// requests for it take effect in the order they came. Event loop only.
class entry_writer_t {
 public:
  template <class T>
  using callback_t = store_port_t::callback_t<T>;

  // `alive` is lowered when the store closes: a hook's failure after that
  // does nothing. `settled` hears of each new file whose record is settled.
  entry_writer_t(boost::asio::io_context& io, async_message_dir_t& dir, async_metadata_writer_t& db,
                 std::shared_ptr<lock_entry_t> locks, std::shared_ptr<store_hooks_t> hooks, std::shared_ptr<bool> alive,
                 std::function<void(const std::string&)> settled);

  void put_entry(entry_t entry, callback_t<std::uint64_t> callback);
  void update_entry(std::int64_t id, entry_metadata_update_t update, boost::optional<shared_file_t> file,
                    callback_t<mq::util::none_t> callback);
  void remove_entry(std::int64_t id, const callback_t<mq::util::none_t>& callback);

  // A new message file of a put or update whose record is not settled yet:
  // a repairing health check must leave it alone.
  bool in_flight(const std::string& name) const { return in_flight_.count(name) > 0; }

 private:
  struct op_ctx_t;
  struct update_ctx_t;

  using half_done_t = std::function<void(std::exception_ptr)>;

  template <class Start, class Fail>
  void start_half(store_hooks_t::op_t op, store_hooks_t::half_t half, const std::string& name, Start&& start,
                  Fail&& fail);
  // The file half of a put or update: `name` written from `source` and
  // synced, then `done` with the outcome once the hooks have heard of it.
  void write_file(store_hooks_t::op_t op, const std::string& name, const std::shared_ptr<shared_file_t>& source,
                  half_done_t done);
  void put_file_done(const std::shared_ptr<op_ctx_t>& ctx, std::exception_ptr error);
  void put_db_done(const std::shared_ptr<op_ctx_t>& ctx, mq::util::result_t<std::uint64_t> result);
  void update_file_done(const std::shared_ptr<update_ctx_t>& ctx, std::exception_ptr error);
  void update_db_done(const std::shared_ptr<update_ctx_t>& ctx,
                      mq::util::result_t<boost::optional<std::string>> result);
  // Removes the record, then its file.
  void do_remove(std::int64_t id, const callback_t<mq::util::none_t>& callback);
  void in_flight_done(const std::string& name);

  boost::asio::io_context& io_;
  async_message_dir_t& dir_;
  async_metadata_writer_t& db_;
  std::shared_ptr<lock_entry_t> locks_;
  std::shared_ptr<store_hooks_t> hooks_;
  std::shared_ptr<bool> alive_;
  std::function<void(const std::string&)> settled_;
  std::multiset<std::string> in_flight_;
};

}  // namespace mq::store
