#include "client/session.h"

#include <algorithm>
#include <utility>

#include "net/frame.h"
#include "net/message_check.h"
#include "net/tagged.h"
#include "ov/logger.h"
#include "wire/page.h"

namespace mq::client {

namespace {

using response_t = session_t::response_t;
using mq::net::require_field;
using mq::util::unique_fd_t;

// Room for the tag and the serial around the entries of a page.
constexpr std::size_t page_envelope = 16;
// The least a page may hold however full its connection's queue (a page
// always makes progress), and the most per entry asked for.
constexpr std::size_t min_page_bytes = std::size_t{64} * 1024;

response_t tagged(response_t::Tag tag) { return mq::net::tagged<response_t>(tag); }

void set_stat(response_t::QueueStat* out, const mq::store::queue_stat_t& stat) {
  out->set_total_messages(stat.total_messages);
  out->set_total_bytes(stat.total_bytes);
}

response_t stat(const mq::store::queue_stats_t& stats, unique_fd_t&) {
  response_t m = tagged(response_t::GET_QUEUE_STAT_RESPONSE);
  set_stat(m.mutable_smtp_fresh_stat(), stats.stats[mq::store::smtp_fresh]);
  set_stat(m.mutable_smtp_accepted_stat(), stats.stats[mq::store::smtp_accepted]);
  set_stat(m.mutable_bcc_fresh_stat(), stats.stats[mq::store::bcc_fresh]);
  set_stat(m.mutable_bcc_accepted_stat(), stats.stats[mq::store::bcc_accepted]);
  return m;
}

// A page ends early rather than outgrow a frame: the client pages on from
// the last entry it received.
response_t page(const std::vector<mq::store::entry_brief_t>& briefs, unique_fd_t&) {
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
    const std::size_t cost = mq::net::repeated_field_cost(response_t::kEntryFieldNumber, entry.ByteSizeLong());
    if (m.entry_size() > 0 && !mq::net::fits_frame(size + cost)) break;
    *m.add_entry() = std::move(entry);
    size += cost;
  }
  return m;
}

// Flush and health check both answer with the store's report.
auto report(response_t::Tag tag) {
  return [tag](std::string& text, unique_fd_t&) {
    response_t m = tagged(tag);
    m.set_report(std::move(text));
    return m;
  };
}

}  // namespace

session_t::session_t(socket_t socket, mq::store::store_port_t* store)
    : connection_t(std::move(socket), "Client", kinds), store_(store) {}

session_t::~session_t() { *open_ = false; }

void session_t::handle(const std::uint8_t* data, std::uint32_t size, unique_fd_t /*fd*/) {
  const auto m = parse<request_t>(data, size);
  switch (m.tag()) {
    case request_t::GET_QUEUE_STAT_REQUEST:
      require_field(m.has_serial(), m, "serial");
      store_->get_queue_stat(answer<response_t, mq::store::queue_stats_t>(get_queue_stat, m.serial(),
                                                                          response_t::GET_QUEUE_STAT_RESPONSE, stat),
                             open_);
      return;
    case request_t::GET_QUEUE_CHUNK_REQUEST: {
      require_field(m.has_serial(), m, "serial");
      require_field(m.has_status(), m, "status");
      // The page is read only as far as the connection has room for it, and
      // that room is held until it is answered.
      auto request = mq::wire::page_request(m);
      const std::uint64_t entries = request.limit ? request.limit : mq::wire::default_page_entries;
      request.max_bytes = std::min<std::uint64_t>(answer_budget(min_page_bytes), entries * min_page_bytes);
      auto done = answer<response_t, std::vector<mq::store::entry_brief_t>>(
          get_queue_chunk, m.serial(), response_t::GET_QUEUE_CHUNK_RESPONSE, page, request.max_bytes);
      store_->get_queue_chunk_brief(request, std::move(done), open_);
      return;
    }
    case request_t::FLUSH_QUEUE_REQUEST: {
      require_field(m.has_serial(), m, "serial");
      require_field(m.has_status(), m, "status");
      // One notice line per flush: the entries it made due are announced
      // to the Sorter, so the count is what the audit trail needs.
      const mq::store::status_t status = mq::wire::to_store(m.status());
      store_->flush_queue(status, [status, peer = peer(),
                                   done = answer<response_t, std::string>(
                                       flush_queue, m.serial(), response_t::FLUSH_QUEUE_RESPONSE,
                                       report(response_t::FLUSH_QUEUE_RESPONSE))](mq::util::result_t<std::string> r) {
        if (mq::util::has_value(r))
          OV_LOG(notice, "Client: flush of the " << mq::store::status_log_name(status)
                                                 << " queue: " << boost::get<std::string>(r) << " (" << peer << ")");
        done(std::move(r));
      });
      return;
    }
    case request_t::CHECK_HEALTH_REQUEST:
      require_field(m.has_serial(), m, "serial");
      store_->check_health(m.fix(),
                           answer<response_t, std::string>(check_health, m.serial(), response_t::CHECK_HEALTH_RESPONSE,
                                                           report(response_t::CHECK_HEALTH_RESPONSE)));
      return;
  }
  mq::net::unknown_tag(m);
}

}  // namespace mq::client
