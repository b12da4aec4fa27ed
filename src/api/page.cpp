#include "api/page.h"

#include "api/error.h"

namespace mq::api {

bool operator<(const page_key_t& a, const page_key_t& b) {
  const auto ta = static_cast<std::int64_t>(a.next_access_ts);
  const auto tb = static_cast<std::int64_t>(b.next_access_ts);
  return ta < tb || (ta == tb && a.entry_id < b.entry_id);
}

page_key_t key_of(const QueueKey& key) { return {key.entry_id(), key.next_access_ts()}; }

page_key_t key_of(const MailQuarantine2ClientMessage::Entry& entry) { return {entry.id(), entry.next_access_ts()}; }

page_key_t next_key(const page_key_t& last, const page_key_t& next) {
  if (!last.zero() && !(last < next)) throw connection_error_t("the daemon sent a page out of key order");
  return next;
}

}  // namespace mq::api
