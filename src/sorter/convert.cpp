#include "sorter/convert.h"

#include <utility>

#include "net/tagged.h"
#include "wire/status.h"

namespace mq::sorter {

namespace {

std::vector<std::string> strings_of(const google::protobuf::RepeatedPtrField<std::string>& field) {
  return std::vector<std::string>(field.begin(), field.end());
}

mq::store::smtp_sender_t sender_of(const SmtpSender& sender) {
  mq::store::smtp_sender_t out;
  out.sender = sender.sender();
  out.esmtp = strings_of(sender.esmtp());
  return out;
}

std::vector<mq::store::smtp_recipient_t> recipients_of(
    const google::protobuf::RepeatedPtrField<SmtpRecipient>& recipients) {
  std::vector<mq::store::smtp_recipient_t> out;
  out.reserve(recipients.size());
  for (const auto& r : recipients) {
    mq::store::smtp_recipient_t item;
    item.recipient = r.recipient();
    item.esmtp = strings_of(r.esmtp());
    out.push_back(std::move(item));
  }
  return out;
}

// Paths and sandbox samples only: scan reports stay out of the store.
std::vector<mq::store::mime_part_t> mime_parts_of(const google::protobuf::RepeatedPtrField<MimePart>& parts) {
  std::vector<mq::store::mime_part_t> out;
  out.reserve(parts.size());
  for (const auto& p : parts) {
    mq::store::mime_part_t part;
    part.path = p.path();
    for (const auto& s : p.kavren_sample()) {
      mq::store::kavren_sample_t sample;
      sample.id = s.id();
      for (const auto& a : s.analysis()) sample.analyses.push_back(mq::store::kavren_analysis_t{a.params(), a.id()});
      part.samples.push_back(std::move(sample));
    }
    out.push_back(std::move(part));
  }
  return out;
}

}  // namespace

mq::store::entry_t to_entry(const Entry& entry, mq::store::status_t status, mq::util::unique_fd_t fd) {
  mq::store::entry_t out;
  auto& m = out.metadata;
  if (entry.has_session_id()) m.session_id = entry.session_id();
  const auto& connect = entry.smtp_connect();
  if (connect.has_helo()) m.smtp_connect.helo = connect.helo();
  if (connect.has_address()) m.smtp_connect.address = connect.address();
  if (connect.has_port()) m.smtp_connect.port = static_cast<std::uint16_t>(connect.port() & 0xffffu);
  if (connect.has_proto()) m.smtp_connect.proto = connect.proto();
  if (entry.has_smtp_sender()) m.smtp_sender = sender_of(entry.smtp_sender());
  m.smtp_recipients = recipients_of(entry.smtp_recipient());
  m.message_size = entry.message_size();
  m.received_ts = entry.received_ts();
  m.next_access_ts = entry.next_access_ts();
  // Attempts, URLs and MIME parts of a new entry are not taken from the
  // Sorter: a new entry starts fresh.
  m.attempts = 0;
  m.status = status;
  out.file = mq::store::shared_file_t(fd.release(), entry.message_size());
  return out;
}

mq::store::entry_metadata_update_t to_update(const EntryUpdate& update) {
  mq::store::entry_metadata_update_t out;
  if (update.has_attempts()) out.attempts = update.attempts();
  if (update.has_next_access_ts()) out.next_access_ts = update.next_access_ts();
  if (update.has_status()) out.status = mq::wire::to_store(update.status());
  if (update.has_smtp_sender()) out.smtp_sender = sender_of(update.smtp_sender());
  out.smtp_recipients = recipients_of(update.smtp_recipient());
  out.content.mime_parts = mime_parts_of(update.mime_part());
  return out;
}

void fill_entry(Entry& out, const mq::store::entry_t& entry) {
  const auto& m = entry.metadata;
  if (m.session_id) out.set_session_id(*m.session_id);
  out.set_received_ts(m.received_ts);
  out.set_next_access_ts(m.next_access_ts);
  out.set_attempts(m.attempts);
  // The size of the file as opened, not the size once stated.
  out.set_message_size(entry.file.size);

  auto* sender = out.mutable_smtp_sender();
  sender->set_sender(m.smtp_sender.sender);
  for (const auto& p : m.smtp_sender.esmtp) sender->add_esmtp(p);

  for (const auto& r : m.smtp_recipients) {
    auto* recipient = out.add_smtp_recipient();
    recipient->set_recipient(r.recipient);
    for (const auto& p : r.esmtp) recipient->add_esmtp(p);
  }

  auto* connect = out.mutable_smtp_connect();
  if (m.smtp_connect.helo) connect->set_helo(*m.smtp_connect.helo);
  if (m.smtp_connect.address) connect->set_address(*m.smtp_connect.address);
  if (m.smtp_connect.port) connect->set_port(*m.smtp_connect.port);
  if (m.smtp_connect.proto) connect->set_proto(*m.smtp_connect.proto);

  for (const auto& p : m.content.mime_parts) {
    auto* part = out.add_mime_part();
    part->set_path(p.path);
    for (const auto& s : p.samples) {
      auto* sample = part->add_kavren_sample();
      sample->set_id(s.id);
      for (const auto& a : s.analyses) {
        auto* analysis = sample->add_analysis();
        analysis->set_params(a.params);
        analysis->set_id(a.id);
      }
    }
  }
}

MailQuarantine2SorterMessage queue_change_notification(const mq::store::queue_change_t& change, std::size_t& next,
                                                       std::size_t max_size) {
  using message_t = MailQuarantine2SorterMessage;
  auto m = mq::net::tagged<message_t>(message_t::QUEUE_CHANGE_NOTIFICATION);
  if (const auto status = mq::wire::to_wire(change.status)) m.set_status(*status);
  std::size_t size = m.ByteSizeLong();
  for (; next < change.keys.size(); ++next) {
    const auto& k = change.keys[next];
    QueueKey key;
    key.set_entry_id(static_cast<std::uint64_t>(k.entry_id));
    key.set_next_access_ts(k.next_access_ts);
    const std::size_t cost = mq::net::repeated_field_cost(message_t::kQueueKeyListFieldNumber, key.ByteSizeLong());
    if (m.queue_key_list_size() > 0 && size + cost > max_size) break;
    *m.add_queue_key_list() = std::move(key);
    size += cost;
  }
  return m;
}

}  // namespace mq::sorter
