#include "details.h"

#include "api/pipeline.h"
#include "errors.h"

namespace mqctl {

sorter_session_t::request_t get_request(std::uint64_t id) {
  return sorter_session_t::entry_request(sorter_session_t::request_t::GET_ENTRY_REQUEST, id);
}

detail_reader_t::detail_reader_t(const std::string& sorter_socket, int timeout_ms, std::size_t in_flight)
    : session_(sorter_socket, timeout_ms), in_flight_(in_flight) {}

std::unordered_map<std::uint64_t, detail_t> detail_reader_t::read(const std::vector<std::uint64_t>& ids) {
  using response_t = sorter_session_t::response_t;
  std::unordered_map<std::uint64_t, detail_t> out;
  mq::api::pipeline_t<std::uint64_t> pipeline(session_);  // notes the id
  std::size_t next = 0;
  while (next < ids.size() || pipeline.in_flight() > 0) {
    while (pipeline.in_flight() < in_flight_ && next < ids.size()) {
      pipeline.send(get_request(ids[next]), ids[next]);
      ++next;
    }
    const auto [id, r] = pipeline.receive();
    if (r.tag() == response_t::ALARM) {
      // Listed but unreadable (its message file lost, say): still listed.
      if (!mq::api::is_entry_not_found(r.error())) out[id] = {0, 0, false};
      continue;
    }
    if (r.tag() != response_t::GET_ENTRY_RESPONSE)
      throw connection_error_t("the daemon answered " + response_t::Tag_Name(r.tag()) + " to GET_ENTRY_REQUEST");
    out[id] = {r.entry().received_ts(), r.entry().message_size()};
  }
  return out;
}

std::optional<detail_reader_t> open_details(const std::string& sorter_socket, int timeout_ms, bool required,
                                            std::ostream& err) {
  std::optional<detail_reader_t> reader;
  try {
    reader.emplace(sorter_socket, timeout_ms);
  } catch (const connection_error_t& e) {
    if (required) throw;
    err << "mqctl: received times and sizes not shown: " << e.what() << '\n';
  }
  return reader;
}

}  // namespace mqctl
