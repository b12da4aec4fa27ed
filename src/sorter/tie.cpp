#include "sorter/tie.h"

#include <utility>

#include "ov/error.h"
#include "ov/logger.h"
#include "sorter/convert.h"
#include "util/connection_end.h"
#include "util/ipc_error.h"

namespace mq::sorter {

namespace {

using response_t = MailQuarantine2SorterMessage;

using mq::util::is_end_of_file;
using mq::util::what_of;

response_t response(response_t::Tag tag, std::uint32_t serial) {
  response_t m;
  m.set_tag(tag);
  m.set_serial(serial);
  return m;
}

void set_status(response_t& m, mq::store::status_t status) {
  const int wire = static_cast<int>(status) + 1;
  if (Status_IsValid(wire)) m.set_status(static_cast<Status>(wire));
}

}  // namespace

tie_t::tie_t(socket_t socket, delegate_t* delegate) : ipc_(std::move(socket), this), delegate_(delegate) {}

tie_t::~tie_t() { cancel(); }

void tie_t::notify_store_state(const std::string& store_path) {
  response_t m;
  m.set_tag(response_t::STORE_STATE_NOTIFICATION);
  m.set_store_path(store_path);
  ipc_.send(m);
}

void tie_t::claim(serials_t& serials, std::uint32_t serial) {
  if (!serials.insert(serial).second) throw mq::util::ipc_error_t("Repeated request serial");
}

void tie_t::alarm(std::uint32_t serial, std::exception_ptr error) {
  response_t m = response(response_t::ALARM, serial);
  ov::make_error(*m.mutable_error(), error);
  ipc_.send(m);
}

void tie_t::on_get_entry_request(std::uint32_t serial, std::int64_t id) {
  claim(get_entry_serials_, serial);
  delegate_->get_entry(id, wrap([this, serial](mq::util::result_t<mq::store::entry_t> result) {
                         get_entry_serials_.erase(serial);
                         if (!mq::util::has_value(result)) return alarm(serial, mq::util::error_of(result));
                         mq::store::entry_t& entry = boost::get<mq::store::entry_t>(result);
                         response_t m = response(response_t::GET_ENTRY_RESPONSE, serial);
                         m.set_entry_id(static_cast<std::uint64_t>(entry.metadata.id));
                         set_status(m, entry.metadata.status);
                         fill_entry(*m.mutable_entry(), entry);
                         const int fd = entry.file.release();
                         ipc_.send(m, fd >= 0 ? mq::util::unique_fd_t(fd) : mq::util::unique_fd_t());
                       }));
}

void tie_t::on_put_entry_request(std::uint32_t serial, mq::store::entry_t entry) {
  claim(put_entry_serials_, serial);
  delegate_->put_entry(std::move(entry), wrap([this, serial](mq::util::result_t<std::uint64_t> result) {
                         put_entry_serials_.erase(serial);
                         if (!mq::util::has_value(result)) return alarm(serial, mq::util::error_of(result));
                         response_t m = response(response_t::PUT_ENTRY_RESPONSE, serial);
                         m.set_entry_id(boost::get<std::uint64_t>(result));
                         ipc_.send(m);
                       }));
}

void tie_t::on_update_entry_request(std::uint32_t serial, std::int64_t id, mq::store::entry_metadata_update_t update,
                                    boost::optional<mq::store::shared_file_t> file) {
  claim(update_entry_serials_, serial);
  delegate_->update_entry(id, std::move(update), std::move(file),
                          wrap([this, serial](mq::util::result_t<mq::util::none_t> result) {
                            update_entry_serials_.erase(serial);
                            if (!mq::util::has_value(result)) return alarm(serial, mq::util::error_of(result));
                            ipc_.send(response(response_t::UPDATE_ENTRY_RESPONSE, serial));
                          }));
}

void tie_t::on_remove_entry_request(std::uint32_t serial, std::int64_t id) {
  claim(remove_entry_serials_, serial);
  delegate_->remove_entry(id, wrap([this, serial](mq::util::result_t<mq::util::none_t> result) {
                            remove_entry_serials_.erase(serial);
                            if (!mq::util::has_value(result)) return alarm(serial, mq::util::error_of(result));
                            ipc_.send(response(response_t::REMOVE_ENTRY_RESPONSE, serial));
                          }));
}

void tie_t::on_get_queue_chunk_request(std::uint32_t serial, mq::store::queue_chunk_request_t request) {
  claim(get_entry_ids_serials_, serial);
  delegate_->get_queue_chunk(request,
                             wrap([this, serial](mq::util::result_t<std::vector<mq::store::queue_key_t>> result) {
                               get_entry_ids_serials_.erase(serial);
                               if (!mq::util::has_value(result)) return alarm(serial, mq::util::error_of(result));
                               response_t m = response(response_t::GET_ENTRY_IDS_RESPONSE, serial);
                               for (const auto& key : boost::get<std::vector<mq::store::queue_key_t>>(result)) {
                                 auto* item = m.add_queue_key_list();
                                 item->set_entry_id(static_cast<std::uint64_t>(key.entry_id));
                                 item->set_next_access_ts(key.next_access_ts);
                               }
                               ipc_.send(m);
                             }));
}

void tie_t::on_subscribe_to_queue_change() {
  if (subscription_.connected()) return;
  subscription_ = delegate_->subscribe_to_queue_change(
      wrap([this](mq::store::queue_change_ptr_t change) { on_queue_change(change); }));
}

void tie_t::on_queue_change(const mq::store::queue_change_ptr_t& change) {
  if (!change) return;
  response_t m;
  m.set_tag(response_t::QUEUE_CHANGE_NOTIFICATION);
  set_status(m, change->status);
  for (const auto& key : change->keys) {
    auto* item = m.add_queue_key_list();
    item->set_entry_id(static_cast<std::uint64_t>(key.entry_id));
    item->set_next_access_ts(key.next_access_ts);
  }
  ipc_.send(m);
}

void tie_t::on_ended(std::exception_ptr error) {
  if (is_end_of_file(error)) {
    OV_LOG(debug, "Sorter: disconnected");
  } else {
    OV_LOG(error, "Sorter: " << what_of(error));
  }
  delegate_->on_disconnected();
}

}  // namespace mq::sorter
