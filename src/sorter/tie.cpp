#include "sorter/tie.h"

#include <utility>

#include "ov/error.h"
#include "sorter/convert.h"
#include "util/ipc_error.h"
#include "wire/page.h"
#include "wire/status.h"

namespace mq::sorter {

namespace {

using request_t = Sorter2MailQuarantineMessage;
using response_t = MailQuarantine2SorterMessage;
using mq::util::none_t;
using mq::util::unique_fd_t;

[[noreturn]] void violation(const std::string& text) {
  throw ov::cf_exception_t(ov::make_error_code(ov::EC_PROTOCOL_VIOLATION), text);
}

void require(bool present, const request_t& m, const char* field) {
  if (present) return;
  violation("message " + request_t::descriptor()->full_name() + " tagged " + mq::util::tag_name<request_t>(m.tag()) +
            " does not have field " + field + " set");
}

response_t tagged(response_t::Tag tag) {
  response_t m;
  m.set_tag(tag);
  return m;
}

response_t entry_response(mq::store::entry_t& entry, unique_fd_t& fd) {
  response_t m = tagged(response_t::GET_ENTRY_RESPONSE);
  m.set_entry_id(static_cast<std::uint64_t>(entry.metadata.id));
  if (const auto status = mq::wire::to_wire(entry.metadata.status)) m.set_status(*status);
  fill_entry(*m.mutable_entry(), entry);
  const int file = entry.file.release();
  if (file >= 0) fd = unique_fd_t(file);
  return m;
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

tie_t::tie_t(socket_t socket, delegate_t* delegate)
    : protocol_codec_t(std::move(socket), "Sorter", kinds, delegate), delegate_(delegate) {}

void tie_t::notify_store_state(const std::string& store_path) {
  response_t m = tagged(response_t::STORE_STATE_NOTIFICATION);
  m.set_store_path(store_path);
  send(m);
}

template <class value_t, class build_t>
auto tie_t::answer(kind_t kind, std::uint32_t serial, build_t build) {
  return protocol_codec_t::answer<response_t, value_t>(kind, serial, response_t::ALARM, std::move(build));
}

void tie_t::handle(const std::uint8_t* data, std::uint32_t size, unique_fd_t fd) {
  const auto m = parse<request_t>(data, size);
  switch (m.tag()) {
    case request_t::GET_ENTRY_REQUEST:
      require(m.has_serial(), m, "serial");
      require(m.has_entry_id(), m, "entry_id");
      delegate_->get_entry(static_cast<std::int64_t>(m.entry_id()),
                           answer<mq::store::entry_t>(get_entry, m.serial(), entry_response));
      return;
    case request_t::PUT_ENTRY_REQUEST:
      require(m.has_serial(), m, "serial");
      require(m.has_status(), m, "status");
      if (!fd) violation(request_t::descriptor()->full_name() + ": message file not specified");
      delegate_->put_entry(to_entry(m.entry(), mq::wire::to_store(m.status()), std::move(fd)),
                           answer<std::uint64_t>(put_entry, m.serial(), [](std::uint64_t id, unique_fd_t&) {
                             response_t r = tagged(response_t::PUT_ENTRY_RESPONSE);
                             r.set_entry_id(id);
                             return r;
                           }));
      return;
    case request_t::UPDATE_ENTRY_REQUEST:
      on_update_entry_request(m, std::move(fd));
      return;
    case request_t::REMOVE_ENTRY_REQUEST:
      require(m.has_entry_id(), m, "entry_id");
      require(m.has_serial(), m, "serial");
      delegate_->remove_entry(static_cast<std::int64_t>(m.entry_id()),
                              answer<none_t>(remove_entry, m.serial(), bare(response_t::REMOVE_ENTRY_RESPONSE)));
      return;
    case request_t::GET_ENTRY_IDS_REQUEST:
      require(m.has_serial(), m, "serial");
      require(m.has_status(), m, "status");
      delegate_->get_queue_chunk(mq::wire::page_request(m),
                                 answer<std::vector<mq::store::queue_key_t>>(get_entry_ids, m.serial(), keys_response));
      return;
    case request_t::SUBSCRIBE_TO_QUEUE_CHANGES:
      on_subscribe_to_queue_change();
      return;
  }
  throw mq::util::ipc_error_t("Unknown message tag " + std::to_string(static_cast<int>(m.tag())));
}

void tie_t::on_update_entry_request(const request_t& m, unique_fd_t fd) {
  require(m.has_serial(), m, "serial");
  require(m.has_entry_id(), m, "entry_id");
  const EntryUpdate& u = m.entry_update();
  if (fd && !u.has_message_size()) violation("Entry does not have message_size");
  mq::store::entry_metadata_update_t update = to_update(u);
  // The stated size goes with a new file only.
  if (fd) update.message_size = u.message_size();
  auto file = fd ? boost::make_optional(mq::store::shared_file_t(fd.release(), u.message_size())) : boost::none;
  delegate_->update_entry(static_cast<std::int64_t>(m.entry_id()), std::move(update), std::move(file),
                          answer<none_t>(update_entry, m.serial(), bare(response_t::UPDATE_ENTRY_RESPONSE)));
}

void tie_t::on_subscribe_to_queue_change() {
  if (subscription_.connected()) return;
  subscription_ = delegate_->subscribe_to_queue_change(
      wrap([this](mq::store::queue_change_ptr_t change) { on_queue_change(std::move(change)); }));
}

void tie_t::on_queue_change(mq::store::queue_change_ptr_t change) {
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

void tie_t::notify_next() {
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

void tie_t::on_sent() {
  notifying_ = false;
  notify_next();
}

}  // namespace mq::sorter
