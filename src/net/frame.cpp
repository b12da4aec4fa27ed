#include "net/frame.h"

#include <cerrno>
#include <string>

#include <google/protobuf/message_lite.h>
#include <google/protobuf/wire_format_lite.h>

namespace mq::net {

frame_too_large_t::frame_too_large_t(std::size_t size)
    : boost::system::system_error(EMSGSIZE, boost::system::system_category(),
                                  "message of " + std::to_string(size) + " bytes does not fit one frame") {}

frame_t serialize_frame(const google::protobuf::MessageLite& message) {
  const std::size_t size = message.ByteSizeLong();
  if (!fits_frame(size)) throw frame_too_large_t(size);
  frame_t frame;
  frame.data.reset(new std::uint8_t[size]);
  frame.size = static_cast<std::uint32_t>(size);
  message.SerializeWithCachedSizesToArray(frame.data.get());
  return frame;
}

std::size_t repeated_field_cost(int field_number, std::size_t body) {
  using google::protobuf::internal::WireFormatLite;
  return WireFormatLite::TagSize(field_number, WireFormatLite::TYPE_MESSAGE) +
         WireFormatLite::LengthDelimitedSize(body);
}

}  // namespace mq::net
