#include "sorter/tie.h"

#include <utility>

#include "sorter/convert.h"
#include "wire/status.h"

namespace mq::sorter {

namespace {

using response_t = MailQuarantine2SorterMessage;
using mq::util::none_t;
using mq::util::unique_fd_t;

response_t tagged(response_t::Tag tag) {
  response_t m;
  m.set_tag(tag);
  return m;
}

}  // namespace

tie_t::tie_t(socket_t socket, delegate_t* delegate) : ipc_(std::move(socket), this), delegate_(delegate) {}

tie_t::~tie_t() { cancel(); }

void tie_t::notify_store_state(const std::string& store_path) {
  response_t m = tagged(response_t::STORE_STATE_NOTIFICATION);
  m.set_store_path(store_path);
  ipc_.send(m);
}

template <class value_t, class build_t>
auto tie_t::answer(ipc_t::kind_t kind, std::uint32_t serial, build_t build) {
  ipc_.claim(kind, serial);
  return ipc_.completion<response_t, value_t>(*this, kind, serial, response_t::ALARM, std::move(build));
}

void tie_t::on_get_entry_request(std::uint32_t serial, std::int64_t id) {
  delegate_->get_entry(
      id, answer<mq::store::entry_t>(ipc_t::get_entry, serial, [](mq::store::entry_t& entry, unique_fd_t& fd) {
        response_t m = tagged(response_t::GET_ENTRY_RESPONSE);
        m.set_entry_id(static_cast<std::uint64_t>(entry.metadata.id));
        if (const auto status = mq::wire::to_wire(entry.metadata.status)) m.set_status(*status);
        fill_entry(*m.mutable_entry(), entry);
        const int file = entry.file.release();
        if (file >= 0) fd = unique_fd_t(file);
        return m;
      }));
}

void tie_t::on_put_entry_request(std::uint32_t serial, mq::store::entry_t entry) {
  delegate_->put_entry(std::move(entry),
                       answer<std::uint64_t>(ipc_t::put_entry, serial, [](std::uint64_t id, unique_fd_t&) {
                         response_t m = tagged(response_t::PUT_ENTRY_RESPONSE);
                         m.set_entry_id(id);
                         return m;
                       }));
}

void tie_t::on_update_entry_request(std::uint32_t serial, std::int64_t id, mq::store::entry_metadata_update_t update,
                                    boost::optional<mq::store::shared_file_t> file) {
  delegate_->update_entry(id, std::move(update), std::move(file),
                          answer<none_t>(ipc_t::update_entry, serial, [](none_t, unique_fd_t&) {
                            return tagged(response_t::UPDATE_ENTRY_RESPONSE);
                          }));
}

void tie_t::on_remove_entry_request(std::uint32_t serial, std::int64_t id) {
  delegate_->remove_entry(id, answer<none_t>(ipc_t::remove_entry, serial, [](none_t, unique_fd_t&) {
                            return tagged(response_t::REMOVE_ENTRY_RESPONSE);
                          }));
}

void tie_t::on_get_queue_chunk_request(std::uint32_t serial, mq::store::queue_chunk_request_t request) {
  using keys_t = std::vector<mq::store::queue_key_t>;
  delegate_->get_queue_chunk(request, answer<keys_t>(ipc_t::get_entry_ids, serial, [](keys_t& keys, unique_fd_t&) {
                               response_t m = tagged(response_t::GET_ENTRY_IDS_RESPONSE);
                               for (const auto& key : keys) {
                                 auto* item = m.add_queue_key_list();
                                 item->set_entry_id(static_cast<std::uint64_t>(key.entry_id));
                                 item->set_next_access_ts(key.next_access_ts);
                               }
                               return m;
                             }));
}

void tie_t::on_subscribe_to_queue_change() {
  if (subscription_.connected()) return;
  subscription_ = delegate_->subscribe_to_queue_change(
      wrap([this](mq::store::queue_change_ptr_t change) { on_queue_change(change); }));
}

void tie_t::on_queue_change(const mq::store::queue_change_ptr_t& change) {
  if (!change) return;
  for (const response_t& m : queue_change_notifications(*change)) ipc_.send(m);
}

void tie_t::on_disconnected() { delegate_->on_disconnected(); }

}  // namespace mq::sorter
