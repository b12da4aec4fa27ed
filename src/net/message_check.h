#pragma once

#include <string>

#include "net/tag_name.h"
#include "ov/error.h"

namespace mq::net {

// The checks every channel makes of a message it received. A failure is a
// protocol violation: it ends a socket connection, or the daemon when the
// monitor channel breaks it.

// Throws unless the field named `field` of `message` is set.
template <class message_t>
void require_field(bool present, const message_t& message, const char* field) {
  if (present) return;
  throw ov::cf_exception_t(ov::make_error_code(ov::EC_PROTOCOL_VIOLATION),
                           "message " + message_t::descriptor()->full_name() + " tagged " +
                               tag_name<message_t>(message.tag()) + " does not have field " + field + " set");
}

// For a tag that the receiver has no handler for.
template <class message_t>
[[noreturn]] void unknown_tag(const message_t& message) {
  throw ov::cf_exception_t(ov::make_error_code(ov::EC_PROTOCOL_VIOLATION),
                           message_t::descriptor()->full_name() +
                               ": unknown message tag: " + std::to_string(static_cast<int>(message.tag())));
}

}  // namespace mq::net
