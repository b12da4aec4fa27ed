#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "store/shared_file.h"

namespace mq::store {

// Queue status as stored in the database; the wire value is this plus 1.
enum status_t : std::int32_t { smtp_fresh = 0, smtp_accepted = 1, bcc_fresh = 2, bcc_accepted = 3 };
// In queue.db only: the hidden entry of a put still being stored in pieces.
// The statements that must not find one spell it out as -1.
constexpr std::int32_t staged_status = -1;

// The log's name of a status: "SmtpFresh", ... or "unknown" (operators'
// tools spell them api::status_names).
const char* status_log_name(std::int32_t status);

struct smtp_connect_t {
  boost::optional<std::string> helo;
  boost::optional<std::string> address;
  boost::optional<std::uint16_t> port;
  boost::optional<std::string> proto;
};

struct smtp_sender_t {
  std::string sender;
  std::vector<std::string> esmtp;
};

struct smtp_recipient_t {
  std::string recipient;
  std::vector<std::string> esmtp;
};

struct kavren_analysis_t {
  std::string params;
  std::string id;
};

struct kavren_sample_t {
  std::string id;
  std::vector<kavren_analysis_t> analyses;
};

struct mime_part_t {
  std::string path;
  boost::optional<std::string> scan_report;
  std::vector<kavren_sample_t> samples;
};

struct url_t {
  std::string url;
  std::uint64_t category_mask = 0;
  boost::optional<std::string> legal_url;
};

struct entry_content_t {
  std::vector<mime_part_t> mime_parts;
  std::vector<url_t> urls;
};

struct entry_metadata_t {
  std::int64_t id = 0;
  boost::optional<std::string> session_id;
  std::string message_filename;
  std::uint64_t message_size = 0;
  status_t status = smtp_fresh;
  std::uint64_t received_ts = 0;
  std::uint64_t next_access_ts = 0;
  std::uint64_t attempts = 0;
  smtp_connect_t smtp_connect;
  smtp_sender_t smtp_sender;
  std::vector<smtp_recipient_t> smtp_recipients;
  entry_content_t content;
};

struct entry_t {
  entry_metadata_t metadata;
  shared_file_t file;
};

// Partial update: absent or empty members leave the stored value alone.
struct entry_metadata_update_t {
  std::vector<smtp_recipient_t> smtp_recipients;
  boost::optional<std::string> message_filename;
  boost::optional<std::uint64_t> message_size;
  boost::optional<std::uint64_t> attempts;
  boost::optional<std::uint64_t> next_access_ts;
  boost::optional<status_t> status;
  entry_content_t content;
  boost::optional<smtp_sender_t> smtp_sender;
};

// Rows of an entry's record beyond its own: recipients and their ESMTP
// arguments, parts, samples, analyses and URLs.
inline std::size_t row_count(const entry_metadata_t& m) {
  std::size_t rows = m.smtp_recipients.size() + m.content.mime_parts.size() + m.content.urls.size();
  for (const auto& r : m.smtp_recipients) rows += r.esmtp.size();
  for (const auto& p : m.content.mime_parts) {
    rows += p.samples.size();
    for (const auto& s : p.samples) rows += s.analyses.size();
  }
  return rows;
}

// An entry with more rows than this is read, and its answer built, off the
// event loop: a row costs the loop a few microseconds to read and as much
// to answer, so a get holds it for about a millisecond at most. Below it, a
// hand-off to a thread and back would cost more than the work.
constexpr std::size_t loop_row_limit = 256;

struct entry_brief_t {
  std::int64_t id = 0;
  std::uint64_t attempts = 0;
  std::uint64_t next_access_ts = 0;
  std::string session_id;
  std::string sender;
  std::vector<std::string> recipients;
};

struct queue_key_t {
  std::int64_t entry_id = 0;
  std::uint64_t next_access_ts = 0;
};

struct queue_chunk_request_t {
  std::int64_t entry_id = 0;
  std::uint64_t next_access_ts = 0;
  status_t status = smtp_fresh;
  std::uint64_t limit = 0;  // 0 means 100
  // A brief page ends before the entry that would take what it holds in
  // memory past this (its first entry comes whole); 0 means 64 MiB.
  std::uint64_t max_bytes = 0;
};

struct queue_stat_t {
  std::uint64_t total_messages = 0;
  std::uint64_t total_bytes = 0;
};

// One pair per status, in status order 0..3.
struct queue_stats_t {
  queue_stat_t stats[4];
};

struct health_check_entry_t {
  std::int64_t id = 0;
  std::string message_filename;
};

struct queue_change_t {
  std::vector<queue_key_t> keys;
  status_t status = smtp_fresh;
};

using queue_change_ptr_t = std::shared_ptr<const queue_change_t>;

}  // namespace mq::store
