#include "sorter/session.h"

#include <memory>
#include <optional>
#include <utility>

#include "net/ipc_error.h"
#include "net/message_check.h"
#include "net/tagged.h"
#include "ov/error.h"
#include "ov/logger.h"
#include "sorter/convert.h"
#include "util/thrown_by.h"
#include "wire/page.h"
#include "wire/status.h"

namespace mq::sorter {

namespace {

using request_t = session_t::request_t;
using response_t = session_t::response_t;
using mq::util::none_t;
using mq::util::unique_fd_t;
using prepared_t = mq::net::connection_t::prepared_t;
using mq::net::require_field;

// Frames larger than this are parsed and converted off the event loop: at
// about a millisecond of work, a hand-off costs less than the loop's time.
constexpr std::uint32_t large_frame = 64u * 1024u;

[[noreturn]] void violation(const std::string& text) {
  throw ov::cf_exception_t(ov::make_error_code(ov::EC_PROTOCOL_VIOLATION), text);
}

response_t tagged(response_t::Tag tag) { return mq::net::tagged<response_t>(tag); }

response_t entry_response(mq::store::entry_t& entry, unique_fd_t& fd) {
  response_t m = tagged(response_t::GET_ENTRY_RESPONSE);
  m.set_entry_id(static_cast<std::uint64_t>(entry.metadata.id));
  if (const auto status = mq::wire::to_wire(entry.metadata.status)) m.set_status(*status);
  fill_entry(*m.mutable_entry(), entry);
  const int file = entry.file.release();
  if (file >= 0) fd = unique_fd_t(file);
  return m;
}

prepared_t prepared_entry(mq::store::entry_t& entry, std::uint32_t serial) {
  prepared_t out;
  response_t m = entry_response(entry, out.fd);
  m.set_serial(serial);
  out.frame = mq::net::serialize_frame(m);
  out.tag = "GET_ENTRY_RESPONSE";
  return out;
}

response_t keys_response(const std::vector<mq::store::queue_key_t>& keys, unique_fd_t&) {
  response_t m = tagged(response_t::GET_ENTRY_IDS_RESPONSE);
  for (const auto& key : keys) {
    auto* item = m.add_queue_key_list();
    item->set_entry_id(static_cast<std::uint64_t>(key.entry_id));
    item->set_next_access_ts(key.next_access_ts);
  }
  return m;
}

// The builder of an answer that carries nothing but its tag.
auto bare(response_t::Tag tag) {
  return [tag](none_t, unique_fd_t&) { return tagged(tag); };
}

}  // namespace

struct session_t::parsed_t {
  request_t m;
  std::optional<mq::store::entry_t> entry;
  std::optional<mq::store::entry_metadata_update_t> update;
  std::exception_ptr error;
};

session_t::session_t(socket_t socket, mq::store::store_port_t* store)
    : connection_t(std::move(socket), "Sorter", kinds), store_(store) {
  response_t m = tagged(response_t::STORE_STATE_NOTIFICATION);
  m.set_store_path(store->path());
  send(m);
}

template <class value_t, class build_t>
auto session_t::answer(kind_t kind, std::uint32_t serial, build_t build) {
  return connection_t::answer<response_t, value_t>(kind, serial, response_t::ALARM, std::move(build));
}

void session_t::handle(const std::uint8_t* data, std::uint32_t size, unique_fd_t fd) {
  if (size > large_frame) return handle_large(size, std::move(fd));
  dispatch(parse<request_t>(data, size), std::move(fd), nullptr);
}

void session_t::handle_large(std::uint32_t size, unique_fd_t fd) {
  auto parsed = std::make_shared<parsed_t>();
  auto job = [parsed, size, frame = std::shared_ptr<std::uint8_t[]>(take_frame())] {
    request_t& m = parsed->m;
    if (!m.ParseFromArray(frame.get(), static_cast<int>(size))) {
      parsed->error = std::make_exception_ptr(
          mq::net::ipc_error_t(request_t::descriptor()->full_name() + ": invalid message format"));
      return;
    }
    // What fails to convert fails again on the loop, in its place among
    // the checks.
    mq::util::thrown_by([&] {
      if (m.tag() == request_t::PUT_ENTRY_REQUEST && m.has_status())
        parsed->entry = to_entry(m.entry(), mq::wire::to_store(m.status()), unique_fd_t());
      if (m.tag() == request_t::UPDATE_ENTRY_REQUEST) parsed->update = to_update(m.entry_update());
    });
  };
  hold_reading();
  store_->run_large(this, std::move(job), wrap([this, parsed, fd = std::make_shared<unique_fd_t>(std::move(fd))] {
                      resume_reading();
                      run_request([&] {
                        if (parsed->error) std::rethrow_exception(parsed->error);
                        note_parsed(parsed->m);
                        dispatch(parsed->m, std::move(*fd), parsed.get());
                      });
                    }));
}

void session_t::dispatch(const request_t& m, unique_fd_t fd, parsed_t* parsed) {
  switch (m.tag()) {
    case request_t::GET_ENTRY_REQUEST:
      on_get_entry_request(m);
      return;
    case request_t::PUT_ENTRY_REQUEST: {
      require_field(m.has_serial(), m, "serial");
      require_field(m.has_status(), m, "status");
      if (!fd) violation(request_t::descriptor()->full_name() + ": message file not specified");
      mq::store::entry_t entry;
      if (parsed && parsed->entry) {
        entry = std::move(*parsed->entry);
        entry.file.fd = fd.release();
      } else {
        entry = to_entry(m.entry(), mq::wire::to_store(m.status()), std::move(fd));
      }
      store_->put_entry(std::move(entry),
                        answer<std::uint64_t>(put_entry, m.serial(), [](std::uint64_t id, unique_fd_t&) {
                          response_t r = tagged(response_t::PUT_ENTRY_RESPONSE);
                          r.set_entry_id(id);
                          return r;
                        }));
      return;
    }
    case request_t::UPDATE_ENTRY_REQUEST:
      on_update_entry_request(m, std::move(fd), parsed);
      return;
    case request_t::REMOVE_ENTRY_REQUEST:
      on_remove_entry_request(m);
      return;
    case request_t::GET_ENTRY_IDS_REQUEST:
      require_field(m.has_serial(), m, "serial");
      require_field(m.has_status(), m, "status");
      store_->get_queue_chunk(mq::wire::page_request(m),
                              answer<std::vector<mq::store::queue_key_t>>(get_entry_ids, m.serial(), keys_response));
      return;
    case request_t::SUBSCRIBE_TO_QUEUE_CHANGES:
      on_subscribe_to_queue_change();
      return;
  }
  mq::net::unknown_tag(m);
}

void session_t::on_get_entry_request(const request_t& m) {
  require_field(m.has_serial(), m, "serial");
  require_field(m.has_entry_id(), m, "entry_id");
  const std::uint32_t serial = m.serial();
  auto finish = answer<prepared_t>(get_entry, serial, [](prepared_t& p, unique_fd_t& fd) {
    fd = std::move(p.fd);
    return std::move(p);
  });
  store_->get_entry(
      static_cast<std::int64_t>(m.entry_id()), wrap([this, serial, finish](mq::util::result_t<mq::store::entry_t> r) {
        if (auto error = mq::util::error_of(r)) return finish(error);
        auto entry = std::make_shared<mq::store::entry_t>(std::move(boost::get<mq::store::entry_t>(r)));
        struct built_t {
          std::optional<prepared_t> answer;
          std::exception_ptr error;
        };
        auto built = std::make_shared<built_t>();
        auto build = [entry, serial, built] {
          built->error = mq::util::thrown_by([&] { built->answer.emplace(prepared_entry(*entry, serial)); });
        };
        auto send = [finish, built] {
          if (built->error) return finish(built->error);
          finish(std::move(*built->answer));
        };
        // A large entry's answer is built as it was read: off the loop.
        if (mq::store::row_count(entry->metadata) <= mq::store::loop_row_limit) {
          build();
          return send();
        }
        store_->run_large(this, std::move(build), std::move(send));
      }),
      this);
}

void session_t::on_update_entry_request(const request_t& m, unique_fd_t fd, parsed_t* parsed) {
  require_field(m.has_serial(), m, "serial");
  require_field(m.has_entry_id(), m, "entry_id");
  const EntryUpdate& u = m.entry_update();
  if (fd && !u.has_message_size()) violation("Entry does not have message_size");
  mq::store::entry_metadata_update_t update = parsed && parsed->update ? std::move(*parsed->update) : to_update(u);
  // The stated size goes with a new file only.
  if (fd) update.message_size = u.message_size();
  auto file = fd ? boost::make_optional(mq::store::shared_file_t(fd.release(), u.message_size())) : boost::none;
  // A status change is a move: one notice line per entry, the audit trail
  // of what operators did (other updates are the Sorter's daily work).
  const std::int64_t id = static_cast<std::int64_t>(m.entry_id());
  const boost::optional<mq::store::status_t> moved_to = update.status;
  store_->update_entry(id, std::move(update), std::move(file),
                       [id, moved_to, peer = peer(),
                        done = answer<none_t>(update_entry, m.serial(), bare(response_t::UPDATE_ENTRY_RESPONSE))](
                           mq::util::result_t<none_t> r) {
                         if (moved_to && mq::util::has_value(r))
                           OV_LOG(notice, "Sorter: moved entry "
                                              << id << " to " << mq::store::status_log_name(*moved_to) << " (" << peer
                                              << ")");
                         done(std::move(r));
                       });
}

void session_t::on_remove_entry_request(const request_t& m) {
  require_field(m.has_entry_id(), m, "entry_id");
  require_field(m.has_serial(), m, "serial");
  const std::int64_t id = static_cast<std::int64_t>(m.entry_id());
  store_->remove_entry(
      id, [id, peer = peer(), done = answer<none_t>(remove_entry, m.serial(), bare(response_t::REMOVE_ENTRY_RESPONSE))](
              mq::util::result_t<none_t> r) {
        if (mq::util::has_value(r)) OV_LOG(notice, "Sorter: removed entry " << id << " (" << peer << ")");
        done(std::move(r));
      });
}

void session_t::on_subscribe_to_queue_change() {
  if (subscription_.connected()) return;
  subscription_ = store_->connect_queue_changed(
      wrap([this](mq::store::queue_change_ptr_t change) { on_queue_change(std::move(change)); }));
}

void session_t::on_queue_change(mq::store::queue_change_ptr_t change) {
  if (!change) return;
  const std::size_t keys = change->keys.size();
  if (waiting_keys_ > 0 && waiting_keys_ + keys > max_waiting_keys) {
    drop("queue-change notifications not read, more than " + std::to_string(max_waiting_keys) + " keys waiting");
    return;
  }
  waiting_keys_ += keys;
  changes_.push_back(std::move(change));
  notify_next();
}

void session_t::notify_next() {
  if (notifying_ || changes_.empty() || draining()) return;
  const mq::store::queue_change_t& change = *changes_.front();
  const std::size_t from = sent_keys_;
  const response_t m = queue_change_notification(change, sent_keys_, notification_bytes);
  waiting_keys_ -= sent_keys_ - from;
  if (sent_keys_ == change.keys.size()) {
    changes_.pop_front();
    sent_keys_ = 0;
  }
  notifying_ = true;
  send(m);
}

void session_t::on_sent() {
  notifying_ = false;
  notify_next();
}

}  // namespace mq::sorter
