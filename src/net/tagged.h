#pragma once

namespace mq::net {

// A message with its tag set and nothing else yet: where every request,
// answer and notification of the protocols starts.
template <class message_t>
message_t tagged(typename message_t::Tag tag) {
  message_t m;
  m.set_tag(tag);
  return m;
}

}  // namespace mq::net
