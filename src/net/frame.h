#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <boost/system/system_error.hpp>

namespace google::protobuf {
class MessageLite;
}

namespace mq::net {

// Largest frame body any peer accepts (the link refuses bigger ones).
constexpr std::uint32_t max_frame_size = 64u * 1024u * 1024u;

// One serialized message, ready for the link.
struct frame_t {
  std::unique_ptr<std::uint8_t[]> data;
  std::uint32_t size = 0;
};

// A message that does not fit one frame; nothing of it was sent.
class frame_too_large_t : public boost::system::system_error {
 public:
  explicit frame_too_large_t(std::size_t size);
};

// The one way every channel turns a message into a frame body: exactly its
// encoded size, never more than max_frame_size (else frame_too_large_t).
frame_t serialize_frame(const google::protobuf::MessageLite& message);

// Whether a body of `size` bytes fits one frame.
constexpr bool fits_frame(std::size_t size) { return size <= max_frame_size; }

// Bytes one more element of a repeated message field adds to its parent:
// the field's tag, the length and `body` bytes.
std::size_t repeated_field_cost(int field_number, std::size_t body);

}  // namespace mq::net
