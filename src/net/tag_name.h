#pragma once

#include <string>

namespace mq::net {

// Enumerator name of a message's tag, or its decimal value.
template <class message_t>
std::string tag_name(typename message_t::Tag tag) {
  const std::string& name = message_t::Tag_Name(tag);
  return name.empty() ? std::to_string(static_cast<int>(tag)) : name;
}

}  // namespace mq::net
