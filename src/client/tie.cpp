#include "client/tie.h"

#include <utility>

#include "util/frame.h"

namespace mq::client {

namespace {

using response_t = MailQuarantine2ClientMessage;
using mq::util::unique_fd_t;

// Room for the tag and the serial around the entries of a page.
constexpr std::size_t page_envelope = 16;

response_t tagged(response_t::Tag tag) {
  response_t m;
  m.set_tag(tag);
  return m;
}

void set_stat(response_t::QueueStat* out, const mq::store::queue_stat_t& stat) {
  out->set_total_messages(stat.total_messages);
  out->set_total_bytes(stat.total_bytes);
}

// A page ends early rather than outgrow a frame: the client pages on from
// the last entry it received.
response_t page(const std::vector<mq::store::entry_brief_t>& briefs) {
  response_t m = tagged(response_t::GET_QUEUE_CHUNK_RESPONSE);
  std::size_t size = page_envelope;
  for (const auto& brief : briefs) {
    response_t::Entry entry;
    entry.set_id(static_cast<std::uint64_t>(brief.id));
    entry.set_sender(brief.sender);
    for (const auto& r : brief.recipients) entry.add_recipient(r);
    entry.set_next_access_ts(brief.next_access_ts);
    entry.set_attempts(brief.attempts);
    entry.set_session_id(brief.session_id);
    const std::size_t cost = mq::util::repeated_field_cost(response_t::kEntryFieldNumber, entry.ByteSizeLong());
    if (m.entry_size() > 0 && !mq::util::fits_frame(size + cost)) break;
    *m.add_entry() = std::move(entry);
    size += cost;
  }
  return m;
}

}  // namespace

tie_t::tie_t(socket_t socket, delegate_t* delegate) : ipc_(std::move(socket), this), delegate_(delegate) {}

tie_t::~tie_t() { cancel(); }

template <class value_t, class build_t>
auto tie_t::answer(ipc_t::kind_t kind, std::uint32_t serial, response_t::Tag tag, build_t build) {
  ipc_.claim(kind, serial);
  return ipc_.completion<response_t, value_t>(*this, kind, serial, tag, std::move(build));
}

void tie_t::on_get_queue_chunk_request(std::uint32_t serial, mq::store::queue_chunk_request_t request) {
  using briefs_t = std::vector<mq::store::entry_brief_t>;
  delegate_->get_queue_chunk(request,
                             answer<briefs_t>(ipc_t::get_queue_chunk, serial, response_t::GET_QUEUE_CHUNK_RESPONSE,
                                              [](briefs_t& briefs, unique_fd_t&) { return page(briefs); }));
}

void tie_t::on_get_queue_stat_request(std::uint32_t serial) {
  delegate_->get_queue_stat(answer<mq::store::queue_stats_t>(
      ipc_t::get_queue_stat, serial, response_t::GET_QUEUE_STAT_RESPONSE,
      [](mq::store::queue_stats_t& stats, unique_fd_t&) {
        response_t m = tagged(response_t::GET_QUEUE_STAT_RESPONSE);
        set_stat(m.mutable_smtp_fresh_stat(), stats.stats[mq::store::smtp_fresh]);
        set_stat(m.mutable_smtp_accepted_stat(), stats.stats[mq::store::smtp_accepted]);
        set_stat(m.mutable_bcc_fresh_stat(), stats.stats[mq::store::bcc_fresh]);
        set_stat(m.mutable_bcc_accepted_stat(), stats.stats[mq::store::bcc_accepted]);
        return m;
      }));
}

namespace {

// Flush and health check both answer with the store's report.
auto report(response_t::Tag tag) {
  return [tag](std::string& text, unique_fd_t&) {
    response_t m = tagged(tag);
    m.set_report(std::move(text));
    return m;
  };
}

}  // namespace

void tie_t::on_flush_queue_request(std::uint32_t serial, mq::store::status_t status) {
  delegate_->flush_queue(status, answer<std::string>(ipc_t::flush_queue, serial, response_t::FLUSH_QUEUE_RESPONSE,
                                                     report(response_t::FLUSH_QUEUE_RESPONSE)));
}

void tie_t::on_check_health_request(std::uint32_t serial, bool fix) {
  delegate_->check_health(fix, answer<std::string>(ipc_t::check_health, serial, response_t::CHECK_HEALTH_RESPONSE,
                                                   report(response_t::CHECK_HEALTH_RESPONSE)));
}

void tie_t::on_disconnected() { delegate_->on_disconnected(); }

}  // namespace mq::client
