// web_seed SORTER_SOCKET STATUS ENTRY_TEXT MESSAGE_FILE: puts one entry
// whose every field is given in protobuf text form (mq.Entry), as a
// Sorter would with a message it analysed (a put, then an update with the
// MIME parts and attempts); prints its id. mqctl put only sets the
// envelope; the pages show far more.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include <google/protobuf/text_format.h>

#include "api/sorter_session.h"
#include "mqctl/args.h"
#include "mqctl/time_text.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: web_seed SORTER_SOCKET STATUS ENTRY_TEXT MESSAGE_FILE\n";
    return 2;
  }
  try {
    std::ifstream in(argv[3]);
    std::stringstream text;
    text << in.rdbuf();
    mq::api::sorter_session_t::request_t request;
    request.set_tag(mq::api::sorter_session_t::request_t::PUT_ENTRY_REQUEST);
    request.set_status(static_cast<mq::Status>(mqctl::parse_status(argv[2])));
    if (!google::protobuf::TextFormat::ParseFromString(text.str(), request.mutable_entry())) {
      std::cerr << "web_seed: not an mq.Entry in text form: " << argv[3] << '\n';
      return 2;
    }
    mq::Entry* entry = request.mutable_entry();
    if (!entry->has_received_ts()) entry->set_received_ts(mqctl::now_seconds());
    const int fd = ::open(argv[4], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      std::cerr << "web_seed: cannot open " << argv[4] << '\n';
      return 2;
    }
    entry->set_message_size(static_cast<std::uint64_t>(st.st_size));
    mq::api::sorter_session_t session(argv[1], 10000);
    const auto r = session.call(request, mq::api::sorter_session_t::response_t::PUT_ENTRY_RESPONSE, fd);
    ::close(fd);
    // A new entry starts without MIME parts and attempts: they come with
    // the Sorter's update after its analysis.
    mq::api::sorter_session_t::request_t update;
    update.set_tag(mq::api::sorter_session_t::request_t::UPDATE_ENTRY_REQUEST);
    update.set_entry_id(r.entry_id());
    *update.mutable_entry_update()->mutable_mime_part() = entry->mime_part();
    if (entry->has_attempts()) update.mutable_entry_update()->set_attempts(entry->attempts());
    session.call(update, mq::api::sorter_session_t::response_t::UPDATE_ENTRY_RESPONSE);
    std::cout << r.entry_id() << '\n';
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "web_seed: " << e.what() << '\n';
    return 1;
  }
}
