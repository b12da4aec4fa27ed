#include "store/metadata_reader.h"

#include <limits>
#include <stdexcept>
#include <utility>

#include "store/entry_not_found.h"

namespace mq::store {

namespace {

// The statements; their texts are fixed.
const char* const select_entry_sql =
    R"sql(SELECT e.session_id_string, e.message_filename, e.message_size, e.status, e.received_ts, e.next_access_ts, e.attempts,
       c.helo, c.address, c.port, c.proto,
       s.id
FROM  entry e
LEFT JOIN smtp_connect c ON c.entry_id = e.id
LEFT JOIN smtp_sender s ON s.entry_id = e.id
WHERE e.id = ? AND e.status != -1
;
)sql";
const char* const select_sender_sql = R"sql(SELECT sender FROM smtp_sender WHERE id = ?1
UNION ALL
SELECT esmtp FROM smtp_sender_esmtp WHERE sender_id = ?1
;
)sql";
const char* const select_recipient_ids_sql = "SELECT id FROM smtp_recipient WHERE entry_id = ?;";
const char* const select_recipient_sql = R"sql(SELECT recipient FROM smtp_recipient WHERE id = ?1
UNION ALL
SELECT esmtp FROM smtp_recipient_esmtp WHERE recipient_id = ?1
;
)sql";
const char* const select_mime_parts_sql = "SELECT id, path FROM mime_part WHERE entry_id = ?;";
const char* const select_samples_sql = "SELECT id, kavren_sample_object_id FROM kavren_sample WHERE mime_part_id = ?;";
const char* const select_analyses_sql =
    "SELECT params, kavren_analysis_object_id FROM kavren_analysis WHERE kavren_sample_id = ?;";
const char* const select_urls_sql = "SELECT url, category_mask, legal_url FROM url WHERE entry_id = ?;";
// NOT INDEXED: through the paging index every row of a status would cost a
// lookup in the table; one pass over the table is several times faster.
const char* const select_stat_sql =
    "SELECT COUNT(*), COALESCE(SUM(message_size), 0) FROM entry NOT INDEXED WHERE status = ?\n;";
const char* const select_chunk_sql = R"sql(SELECT id, next_access_ts FROM entry
WHERE (next_access_ts > ?2 OR (next_access_ts = ?2 AND id > ?1))
AND   status = ?3
ORDER BY
      next_access_ts,
      id
LIMIT ?4
;
)sql";
const char* const select_chunk_brief_sql =
    R"sql(SELECT e.id, e.next_access_ts, e.attempts, COALESCE(e.session_id_string, ""), COALESCE(s.sender, "")
FROM entry e
LEFT JOIN smtp_sender s ON s.entry_id = e.id
WHERE (e.next_access_ts > ?2 OR (e.next_access_ts = ?2 AND e.id > ?1))
AND   status = ?3
ORDER BY
    e.next_access_ts,
    e.id
LIMIT ?4
;
)sql";
const char* const select_brief_recipients_sql = R"sql(SELECT recipient FROM smtp_recipient
WHERE entry_id = ?
;
)sql";

constexpr std::uint64_t default_chunk_limit = 100;
constexpr std::uint64_t default_brief_page_bytes = std::uint64_t{64} << 20;

// What a brief holds, counted so that it is never less than its size in
// memory nor its size on the wire: each entry with an allowance for its
// numbers, each text with one for its string (or its field's key and
// length).
constexpr std::uint64_t brief_cost = 128;
constexpr std::uint64_t text_cost = 32;

// Thrown past a get's row limit; never leaves the reader.
struct over_row_limit_t {};

// Both page statements take the key to start after, the status and the
// limit.
void bind_page(sqlite::statement_t& statement, const queue_chunk_request_t& request) {
  statement.bind_int64(1, request.entry_id);
  statement.bind_uint64(2, request.next_access_ts);
  statement.bind_int64(3, request.status);
  statement.bind_uint64(4, request.limit ? request.limit : default_chunk_limit);
}

}  // namespace

metadata_reader_t::metadata_reader_t(const std::string& path, bool trace)
    : db_(path, trace, metadata_connection_t::access_t::read_only) {
  select_entry_ = connection().prepare(select_entry_sql);
  select_sender_ = connection().prepare(select_sender_sql);
  select_recipient_ids_ = connection().prepare(select_recipient_ids_sql);
  select_recipient_ = connection().prepare(select_recipient_sql);
  select_mime_parts_ = connection().prepare(select_mime_parts_sql);
  select_samples_ = connection().prepare(select_samples_sql);
  select_analyses_ = connection().prepare(select_analyses_sql);
  select_urls_ = connection().prepare(select_urls_sql);
  select_stat_ = connection().prepare(select_stat_sql);
  select_chunk_ = connection().prepare(select_chunk_sql);
  select_chunk_brief_ = connection().prepare(select_chunk_brief_sql);
  select_brief_recipients_ = connection().prepare(select_brief_recipients_sql);
}

entry_metadata_t metadata_reader_t::get_entry(std::int64_t id) {
  entry_metadata_t m;
  get_entry(id, m, std::numeric_limits<std::size_t>::max());
  return m;
}

void metadata_reader_t::count_row() {
  if (rows_left_ == 0) throw over_row_limit_t();
  --rows_left_;
}

bool metadata_reader_t::get_entry(std::int64_t id, entry_metadata_t& m, std::size_t row_limit) try {
  rows_left_ = row_limit;
  // One read transaction: one snapshot of the log for all the statements
  // instead of one each, and all of them see the same entry.
  sqlite::transaction_t transaction(connection());
  m.id = id;
  std::int64_t sender_id = 0;
  {
    auto use = select_entry_.use();
    select_entry_.bind_int64(1, id);
    if (!select_entry_.step()) throw entry_not_found_t();
    m.session_id = select_entry_.column_optional_text(0);
    m.message_filename = select_entry_.column_text(1);
    m.message_size = select_entry_.column_uint64(2);
    m.status = static_cast<status_t>(select_entry_.column_int64(3));
    m.received_ts = select_entry_.column_uint64(4);
    m.next_access_ts = select_entry_.column_uint64(5);
    m.attempts = select_entry_.column_uint64(6);
    m.smtp_connect.helo = select_entry_.column_optional_text(7);
    m.smtp_connect.address = select_entry_.column_optional_text(8);
    if (!select_entry_.is_null(9)) m.smtp_connect.port = static_cast<std::uint16_t>(select_entry_.column_int64(9));
    m.smtp_connect.proto = select_entry_.column_optional_text(10);
    if (select_entry_.is_null(11)) throw std::runtime_error("Sender not found");
    sender_id = select_entry_.column_int64(11);
  }
  {
    auto use = select_sender_.use();
    select_sender_.bind_int64(1, sender_id);
    if (!select_sender_.step()) throw std::runtime_error("Sender not found");
    m.smtp_sender.sender = select_sender_.column_text(0);
    while (select_sender_.step()) m.smtp_sender.esmtp.push_back(select_sender_.column_text(0));
  }
  std::vector<std::int64_t> recipient_ids;
  {
    auto use = select_recipient_ids_.use();
    select_recipient_ids_.bind_int64(1, id);
    while (select_recipient_ids_.step()) {
      count_row();
      recipient_ids.push_back(select_recipient_ids_.column_int64(0));
    }
  }
  for (const auto recipient_id : recipient_ids) {
    auto use = select_recipient_.use();
    select_recipient_.bind_int64(1, recipient_id);
    if (!select_recipient_.step()) continue;
    smtp_recipient_t recipient;
    recipient.recipient = select_recipient_.column_text(0);
    while (select_recipient_.step()) {
      count_row();
      recipient.esmtp.push_back(select_recipient_.column_text(0));
    }
    m.smtp_recipients.push_back(std::move(recipient));
  }
  read_content(id, m.content);
  transaction.commit();
  return true;
} catch (const over_row_limit_t&) {
  return false;
}

void metadata_reader_t::read_content(std::int64_t entry_id, entry_content_t& content) {
  std::vector<std::int64_t> part_ids;
  {
    auto use = select_mime_parts_.use();
    select_mime_parts_.bind_int64(1, entry_id);
    while (select_mime_parts_.step()) {
      count_row();
      part_ids.push_back(select_mime_parts_.column_int64(0));
      mime_part_t part;
      part.path = select_mime_parts_.column_text(1);
      content.mime_parts.push_back(std::move(part));
    }
  }
  for (std::size_t i = 0; i < part_ids.size(); ++i) {
    auto& samples = content.mime_parts[i].samples;
    std::vector<std::int64_t> sample_ids;
    {
      auto use = select_samples_.use();
      select_samples_.bind_int64(1, part_ids[i]);
      while (select_samples_.step()) {
        count_row();
        sample_ids.push_back(select_samples_.column_int64(0));
        kavren_sample_t sample;
        sample.id = select_samples_.column_text(1);
        samples.push_back(std::move(sample));
      }
    }
    for (std::size_t j = 0; j < sample_ids.size(); ++j) {
      auto use = select_analyses_.use();
      select_analyses_.bind_int64(1, sample_ids[j]);
      while (select_analyses_.step()) {
        count_row();
        kavren_analysis_t analysis;
        analysis.params = select_analyses_.column_text(0);
        analysis.id = select_analyses_.column_text(1);
        samples[j].analyses.push_back(std::move(analysis));
      }
    }
  }
  auto use = select_urls_.use();
  select_urls_.bind_int64(1, entry_id);
  while (select_urls_.step()) {
    count_row();
    url_t url;
    url.url = select_urls_.column_text(0);
    url.category_mask = select_urls_.column_uint64(1);
    url.legal_url = select_urls_.column_optional_text(2);
    content.urls.push_back(std::move(url));
  }
}

queue_stats_t metadata_reader_t::get_queue_stat() {
  // One snapshot for every status: a write between two of them would
  // otherwise count an entry twice or not at all.
  sqlite::transaction_t transaction(connection());
  queue_stats_t stats;
  for (int status = smtp_fresh; status <= bcc_accepted; ++status) {
    auto use = select_stat_.use();
    select_stat_.bind_int64(1, status);
    if (!select_stat_.step()) continue;
    stats.stats[status].total_messages = select_stat_.column_uint64(0);
    stats.stats[status].total_bytes = select_stat_.column_uint64(1);
  }
  transaction.commit();
  return stats;
}

std::vector<queue_key_t> metadata_reader_t::get_queue_chunk(const queue_chunk_request_t& request) {
  std::vector<queue_key_t> keys;
  auto use = select_chunk_.use();
  bind_page(select_chunk_, request);
  while (select_chunk_.step()) keys.push_back({select_chunk_.column_int64(0), select_chunk_.column_uint64(1)});
  return keys;
}

std::vector<entry_brief_t> metadata_reader_t::get_queue_chunk_brief(const queue_chunk_request_t& request) {
  // A recipient query per entry: in one read transaction they cost a lookup
  // each, not a snapshot each.
  sqlite::transaction_t transaction(connection());
  const std::uint64_t budget = request.max_bytes ? request.max_bytes : default_brief_page_bytes;
  std::vector<entry_brief_t> briefs;
  std::uint64_t used = 0;
  {
    auto use = select_chunk_brief_.use();
    bind_page(select_chunk_brief_, request);
    while (select_chunk_brief_.step()) {
      entry_brief_t brief;
      brief.id = select_chunk_brief_.column_int64(0);
      brief.next_access_ts = select_chunk_brief_.column_uint64(1);
      brief.attempts = select_chunk_brief_.column_uint64(2);
      brief.session_id = select_chunk_brief_.column_text(3);
      brief.sender = select_chunk_brief_.column_text(4);
      std::uint64_t cost = brief_cost + 2 * text_cost + brief.session_id.size() + brief.sender.size();
      // The first entry comes whole, else no page could pass it; after it the
      // page stops reading as soon as it is full.
      auto fits = [&] { return briefs.empty() || used + cost <= budget; };
      if (!fits()) break;
      {
        auto recipients = select_brief_recipients_.use();
        select_brief_recipients_.bind_int64(1, brief.id);
        while (fits() && select_brief_recipients_.step()) {
          brief.recipients.push_back(select_brief_recipients_.column_text(0));
          cost += text_cost + brief.recipients.back().size();
        }
      }
      if (!fits()) break;
      used += cost;
      briefs.push_back(std::move(brief));
    }
  }
  transaction.commit();
  return briefs;
}

}  // namespace mq::store
