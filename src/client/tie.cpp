#include "client/tie.h"

#include <utility>

#include "ov/error.h"
#include "ov/logger.h"
#include "util/connection_end.h"
#include "util/ipc_error.h"

namespace mq::client {

namespace {

using response_t = MailQuarantine2ClientMessage;

using mq::util::is_end_of_file;
using mq::util::what_of;

response_t response(response_t::Tag tag, std::uint32_t serial) {
  response_t m;
  m.set_tag(tag);
  m.set_serial(serial);
  return m;
}

void set_stat(response_t::QueueStat* out, const mq::store::queue_stat_t& stat) {
  out->set_total_messages(stat.total_messages);
  out->set_total_bytes(stat.total_bytes);
}

}  // namespace

tie_t::tie_t(socket_t socket, delegate_t* delegate) : ipc_(std::move(socket), this), delegate_(delegate) {}

tie_t::~tie_t() { cancel(); }

void tie_t::claim(serials_t& serials, std::uint32_t serial) {
  if (!serials.insert(serial).second) throw mq::util::ipc_error_t("Repeated request serial");
}

void tie_t::fail(response_t::Tag tag, std::uint32_t serial, std::exception_ptr error) {
  response_t m = response(tag, serial);
  ov::make_error(*m.mutable_error(), error);
  ipc_.send(m);
}

void tie_t::on_get_queue_chunk_request(std::uint32_t serial, mq::store::queue_chunk_request_t request) {
  claim(get_queue_chunk_serials_, serial);
  delegate_->get_queue_chunk(request,
                             wrap([this, serial](mq::util::result_t<std::vector<mq::store::entry_brief_t>> result) {
                               get_queue_chunk_serials_.erase(serial);
                               if (!mq::util::has_value(result))
                                 return fail(response_t::GET_QUEUE_CHUNK_RESPONSE, serial, mq::util::error_of(result));
                               response_t m = response(response_t::GET_QUEUE_CHUNK_RESPONSE, serial);
                               for (const auto& brief : boost::get<std::vector<mq::store::entry_brief_t>>(result)) {
                                 auto* entry = m.add_entry();
                                 entry->set_id(static_cast<std::uint64_t>(brief.id));
                                 entry->set_sender(brief.sender);
                                 for (const auto& r : brief.recipients) entry->add_recipient(r);
                                 entry->set_next_access_ts(brief.next_access_ts);
                                 entry->set_attempts(brief.attempts);
                                 entry->set_session_id(brief.session_id);
                               }
                               ipc_.send(m);
                             }));
}

void tie_t::on_get_queue_stat_request(std::uint32_t serial) {
  claim(get_queue_stat_serials_, serial);
  delegate_->get_queue_stat(wrap([this, serial](mq::util::result_t<mq::store::queue_stats_t> result) {
    get_queue_stat_serials_.erase(serial);
    if (!mq::util::has_value(result))
      return fail(response_t::GET_QUEUE_STAT_RESPONSE, serial, mq::util::error_of(result));
    const auto& stats = boost::get<mq::store::queue_stats_t>(result).stats;
    response_t m = response(response_t::GET_QUEUE_STAT_RESPONSE, serial);
    set_stat(m.mutable_smtp_fresh_stat(), stats[mq::store::smtp_fresh]);
    set_stat(m.mutable_smtp_accepted_stat(), stats[mq::store::smtp_accepted]);
    set_stat(m.mutable_bcc_fresh_stat(), stats[mq::store::bcc_fresh]);
    set_stat(m.mutable_bcc_accepted_stat(), stats[mq::store::bcc_accepted]);
    ipc_.send(m);
  }));
}

void tie_t::on_flush_queue_request(std::uint32_t serial, mq::store::status_t status) {
  claim(flush_queue_serials_, serial);
  delegate_->flush_queue(status, wrap([this, serial](mq::util::result_t<std::string> result) {
                           flush_queue_serials_.erase(serial);
                           if (!mq::util::has_value(result))
                             return fail(response_t::FLUSH_QUEUE_RESPONSE, serial, mq::util::error_of(result));
                           response_t m = response(response_t::FLUSH_QUEUE_RESPONSE, serial);
                           m.set_report(boost::get<std::string>(result));
                           ipc_.send(m);
                         }));
}

void tie_t::on_check_health_request(std::uint32_t serial, bool fix) {
  claim(check_health_serials_, serial);
  delegate_->check_health(fix, wrap([this, serial](mq::util::result_t<std::string> result) {
                            check_health_serials_.erase(serial);
                            if (!mq::util::has_value(result))
                              return fail(response_t::CHECK_HEALTH_RESPONSE, serial, mq::util::error_of(result));
                            response_t m = response(response_t::CHECK_HEALTH_RESPONSE, serial);
                            m.set_report(boost::get<std::string>(result));
                            ipc_.send(m);
                          }));
}

void tie_t::on_ended(std::exception_ptr error) {
  if (is_end_of_file(error)) {
    OV_LOG(debug, "Client: disconnected");
  } else {
    OV_LOG(error, "Client: " << what_of(error));
  }
  delegate_->on_disconnected();
}

}  // namespace mq::client
