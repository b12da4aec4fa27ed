// web_seed SORTER_SOCKET STATUS ENTRY_TEXT MESSAGE_FILE [COUNT]: puts COUNT (1)
// entries whose every field is given in protobuf text form (mq.Entry), as a
// Sorter would with a message it analysed (a put; the last one gets the update
// with the MIME parts and attempts); prints the last id. mqctl only puts envelopes.
#include <iostream>

#include <google/protobuf/text_format.h>

#include "mqctl/args.h"
#include "mqctl/time_text.h"
#include "support/common.h"
#include "support/peers.h"

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::cerr << "usage: web_seed SORTER_SOCKET STATUS ENTRY_TEXT MESSAGE_FILE [COUNT]\n";
    return 2;
  }
  try {
    mq::Entry entry;
    if (!google::protobuf::TextFormat::ParseFromString(mq::test::read_file(argv[3]), &entry)) {
      std::cerr << "web_seed: not an mq.Entry in text form: " << argv[3] << '\n';
      return 2;
    }
    if (!entry.has_received_ts()) entry.set_received_ts(mqctl::now_seconds());
    mq::test::sorter_peer_t sorter(argv[1]);
    const auto status = static_cast<mq::Status>(mqctl::parse_status(argv[2]));
    std::uint64_t id = 0;  // the last one's
    for (int n = argc == 6 ? std::stoi(argv[5]) : 1; n > 0; --n)
      id = sorter.put(mq::test::read_file(argv[4]), status, entry);
    // A new entry starts without MIME parts and attempts: they come with
    // the Sorter's update after its analysis.
    auto update = mq::test::entry_request(mq::Sorter2MailQuarantineMessage::UPDATE_ENTRY_REQUEST, id);
    *update.mutable_entry_update()->mutable_mime_part() = entry.mime_part();
    if (entry.has_attempts()) update.mutable_entry_update()->set_attempts(entry.attempts());
    if (const auto r = sorter.call(update); r.tag() != mq::MailQuarantine2SorterMessage::UPDATE_ENTRY_RESPONSE)
      throw std::runtime_error("update failed: " + r.error().what());
    std::cout << id << '\n';
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "web_seed: " << e.what() << '\n';
    return 1;
  }
}
