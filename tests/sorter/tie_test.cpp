// A Sorter connection served on the event loop, driven from the far end of
// a socket pair with real frames and real descriptors.
#include <dirent.h>
#include <sys/stat.h>

#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#include <boost/optional/optional_io.hpp>

#include "fake_delegate.h"
#include "mail_quarantine_sorter_ipc.pb.h"
#include "ov/error.h"
#include "ov/logger.h"
#include "sorter/tie.h"
#include "support/peers.h"

namespace {

using mq::test::fake_sorter_delegate_t;
using mq::test::memory_file_fd;
using mq::test::read_fd;
using request_t = mq::Sorter2MailQuarantineMessage;
using response_t = mq::MailQuarantine2SorterMessage;
namespace logger = ov::util::logger;

request_t request(request_t::Tag tag, std::uint32_t serial) {
  request_t m;
  m.set_tag(tag);
  m.set_serial(serial);
  return m;
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (::readdir(d)) ++n;
  ::closedir(d);
  return n;
}

class SorterTie : public ::testing::Test {
 protected:
  void SetUp() override { d.tie = std::make_unique<mq::sorter::tie_t>(peer.take_socket(), &d); }

  bool run_until(const std::function<bool()>& done) { return mq::test::run_until(io, done); }

  response_t receive(mq::util::unique_fd_t* fd = nullptr) {
    response_t m;
    EXPECT_TRUE(peer.receive(m, fd));
    return m;
  }

  // The connection ended because of `text`, logged at error level.
  void expect_ended_with(const std::string& text) {
    EXPECT_TRUE(peer.wait_closed());
    EXPECT_EQ(1, d.disconnects);
    EXPECT_EQ(nullptr, d.tie);
    EXPECT_EQ(1u, log.count(logger::error, "Sorter: " + text)) << ::testing::PrintToString(log.lines());
  }

  boost::asio::io_context io;
  mq::test::log_capture_t log;
  mq::test::loop_peer_t peer{io};
  fake_sorter_delegate_t d;
};

TEST_F(SorterTie, StoreStateIsSentAsIs) {
  d.tie->notify_store_state("/var/spool/q\xff");
  response_t m = receive();
  EXPECT_EQ(response_t::STORE_STATE_NOTIFICATION, m.tag());
  EXPECT_EQ("/var/spool/q\xff", m.store_path());
  EXPECT_FALSE(m.has_serial());
  EXPECT_EQ(1u, log.count(logger::debug, "Sorter <-- STORE_STATE_NOTIFICATION"));
}

TEST_F(SorterTie, PutConvertsTheEntryAndPassesTheDescriptor) {
  request_t m = request(request_t::PUT_ENTRY_REQUEST, 7);
  m.set_status(mq::BCC_FRESH);
  mq::Entry* e = m.mutable_entry();
  e->set_session_id("sess-1");
  e->mutable_smtp_connect()->set_helo("mx.example");
  e->mutable_smtp_connect()->set_port(70000);
  e->mutable_smtp_sender()->set_sender("from@example");
  e->mutable_smtp_sender()->add_esmtp("SIZE=12");
  e->mutable_smtp_sender()->add_esmtp("BODY=8BITMIME");
  auto* r1 = e->add_smtp_recipient();
  r1->set_recipient("a@example");
  r1->add_esmtp("NOTIFY=NEVER");
  e->add_smtp_recipient()->set_recipient("b@example");
  e->set_message_size(12);
  e->set_received_ts(1000);
  e->set_next_access_ts(2000);
  e->set_attempts(5);
  e->add_url()->set_url("http://example");
  e->add_mime_part()->set_path("1.2");

  mq::util::unique_fd_t file = memory_file_fd("hello world\n");
  peer.send(m, file.get());
  ASSERT_TRUE(run_until([&] { return d.puts.size() == 1; }));

  const mq::store::entry_t& entry = d.puts[0].entry;
  const auto& md = entry.metadata;
  EXPECT_EQ(mq::store::bcc_fresh, md.status);
  EXPECT_EQ(boost::optional<std::string>("sess-1"), md.session_id);
  EXPECT_EQ(boost::optional<std::string>("mx.example"), md.smtp_connect.helo);
  EXPECT_FALSE(md.smtp_connect.address);
  EXPECT_FALSE(md.smtp_connect.proto);
  EXPECT_EQ(boost::optional<std::uint16_t>(4464), md.smtp_connect.port);
  EXPECT_EQ("from@example", md.smtp_sender.sender);
  EXPECT_EQ((std::vector<std::string>{"SIZE=12", "BODY=8BITMIME"}), md.smtp_sender.esmtp);
  ASSERT_EQ(2u, md.smtp_recipients.size());
  EXPECT_EQ("a@example", md.smtp_recipients[0].recipient);
  EXPECT_EQ(std::vector<std::string>{"NOTIFY=NEVER"}, md.smtp_recipients[0].esmtp);
  EXPECT_EQ("b@example", md.smtp_recipients[1].recipient);
  EXPECT_TRUE(md.smtp_recipients[1].esmtp.empty());
  EXPECT_EQ(12u, md.message_size);
  EXPECT_EQ(1000u, md.received_ts);
  EXPECT_EQ(2000u, md.next_access_ts);
  EXPECT_EQ(0u, md.attempts);
  EXPECT_TRUE(md.content.urls.empty());
  EXPECT_TRUE(md.content.mime_parts.empty());
  EXPECT_EQ(0, md.id);
  EXPECT_TRUE(md.message_filename.empty());
  EXPECT_EQ(12u, entry.file.size);
  ASSERT_GE(entry.file.fd, 0);
  EXPECT_EQ("hello world\n", read_fd(entry.file.fd));
  EXPECT_EQ(1u, log.count(logger::debug, "Sorter --> PUT_ENTRY_REQUEST"));

  d.puts[0].done(std::uint64_t{42});
  response_t r = receive();
  EXPECT_EQ(response_t::PUT_ENTRY_RESPONSE, r.tag());
  EXPECT_EQ(7u, r.serial());
  EXPECT_EQ(42u, r.entry_id());
  EXPECT_EQ(1u, log.count(logger::debug, "Sorter <-- PUT_ENTRY_RESPONSE"));
}

TEST_F(SorterTie, PutWithoutSenderStoresAnEmptySender) {
  request_t m = request(request_t::PUT_ENTRY_REQUEST, 1);
  m.set_status(mq::SMTP_FRESH);
  mq::util::unique_fd_t file = memory_file_fd("x");
  peer.send(m, file.get());
  ASSERT_TRUE(run_until([&] { return d.puts.size() == 1; }));
  const auto& md = d.puts[0].entry.metadata;
  EXPECT_EQ(mq::store::smtp_fresh, md.status);
  EXPECT_EQ("", md.smtp_sender.sender);
  EXPECT_TRUE(md.smtp_sender.esmtp.empty());
  EXPECT_FALSE(md.session_id);
  EXPECT_FALSE(md.smtp_connect.helo || md.smtp_connect.port);
  EXPECT_EQ(0u, d.puts[0].entry.file.size);
}

TEST_F(SorterTie, GetAnswersWithTheEntryAndAReadableDescriptor) {
  peer.send([] {
    request_t m = request(request_t::GET_ENTRY_REQUEST, 3);
    m.set_entry_id(99);
    return m;
  }());
  ASSERT_TRUE(run_until([&] { return d.gets.size() == 1; }));
  EXPECT_EQ(99, d.gets[0].id);

  mq::store::entry_t entry;
  auto& md = entry.metadata;
  md.id = 99;
  md.status = mq::store::bcc_accepted;
  md.message_size = 1;  // a stale size: the file's own size wins
  md.message_filename = "secret-name.eml";
  md.received_ts = 5;
  md.next_access_ts = 6;
  md.attempts = 7;
  md.smtp_sender.sender = "s@example";
  md.smtp_sender.esmtp = {"SIZE=3"};
  md.smtp_recipients = {{"r1@example", {"ORCPT=x"}}, {"r2@example", {}}};
  md.smtp_connect.address = "192.0.2.1";
  md.smtp_connect.port = 25;
  mq::store::mime_part_t part;
  part.path = "1";
  part.scan_report = std::string("report");
  part.samples.push_back({"sample-1", {{"p", "a-1"}, {"q", "a-2"}}});
  md.content.mime_parts.push_back(part);
  md.content.urls.push_back({"http://example", 3, boost::none});
  const std::string content = "Subject: hi\r\n\r\nbody\r\n";
  entry.file = mq::store::shared_file_t(memory_file_fd(content).release(), content.size());
  d.gets[0].done(std::move(entry));

  mq::util::unique_fd_t fd;
  response_t r = receive(&fd);
  EXPECT_EQ(response_t::GET_ENTRY_RESPONSE, r.tag());
  EXPECT_EQ(3u, r.serial());
  EXPECT_EQ(99u, r.entry_id());
  EXPECT_EQ(mq::BCC_ACCEPTED, r.status());
  ASSERT_TRUE(fd);
  EXPECT_EQ(content, read_fd(fd.get()));

  const mq::Entry& e = r.entry();
  EXPECT_FALSE(e.has_session_id());
  EXPECT_EQ(5u, e.received_ts());
  EXPECT_EQ(6u, e.next_access_ts());
  EXPECT_EQ(7u, e.attempts());
  EXPECT_EQ(content.size(), e.message_size());
  EXPECT_EQ("s@example", e.smtp_sender().sender());
  ASSERT_EQ(1, e.smtp_sender().esmtp_size());
  EXPECT_EQ("SIZE=3", e.smtp_sender().esmtp(0));
  ASSERT_EQ(2, e.smtp_recipient_size());
  EXPECT_EQ("r1@example", e.smtp_recipient(0).recipient());
  ASSERT_EQ(1, e.smtp_recipient(0).esmtp_size());
  EXPECT_EQ("ORCPT=x", e.smtp_recipient(0).esmtp(0));
  EXPECT_EQ(0, e.smtp_recipient(1).esmtp_size());
  ASSERT_TRUE(e.has_smtp_connect());
  EXPECT_FALSE(e.smtp_connect().has_helo());
  EXPECT_EQ("192.0.2.1", e.smtp_connect().address());
  EXPECT_EQ(25u, e.smtp_connect().port());
  EXPECT_FALSE(e.smtp_connect().has_proto());
  ASSERT_EQ(1, e.mime_part_size());
  EXPECT_EQ("1", e.mime_part(0).path());
  EXPECT_FALSE(e.mime_part(0).has_scan_report());
  ASSERT_EQ(1, e.mime_part(0).kavren_sample_size());
  EXPECT_EQ("sample-1", e.mime_part(0).kavren_sample(0).id());
  ASSERT_EQ(2, e.mime_part(0).kavren_sample(0).analysis_size());
  EXPECT_EQ("q", e.mime_part(0).kavren_sample(0).analysis(1).params());
  EXPECT_EQ("a-2", e.mime_part(0).kavren_sample(0).analysis(1).id());
  EXPECT_EQ(0, e.url_size());
  EXPECT_EQ(std::string::npos, r.SerializeAsString().find("secret-name"));
}

TEST_F(SorterTie, GetOfAnEntryWithoutConnectDataStillCarriesTheGroups) {
  request_t m = request(request_t::GET_ENTRY_REQUEST, 1);
  m.set_entry_id(1);
  peer.send(m);
  ASSERT_TRUE(run_until([&] { return d.gets.size() == 1; }));
  mq::store::entry_t entry;
  entry.metadata.id = 1;
  entry.metadata.session_id = std::string("s");
  entry.file = mq::store::shared_file_t(memory_file_fd("abc").release(), 3);
  d.gets[0].done(std::move(entry));
  response_t r = receive();
  EXPECT_EQ(mq::SMTP_FRESH, r.status());
  EXPECT_EQ("s", r.entry().session_id());
  EXPECT_TRUE(r.entry().has_smtp_connect());
  EXPECT_TRUE(r.entry().has_smtp_sender());
  EXPECT_EQ("", r.entry().smtp_sender().sender());
  EXPECT_TRUE(r.entry().has_attempts() && r.entry().has_received_ts() && r.entry().has_next_access_ts());
}

TEST_F(SorterTie, StoreFailuresAnswerAlarmWithTheSerialAndTheError) {
  request_t m = request(request_t::GET_ENTRY_REQUEST, 11);
  m.set_entry_id(5);
  peer.send(m);
  request_t rm = request(request_t::REMOVE_ENTRY_REQUEST, 12);
  rm.set_entry_id(5);
  peer.send(rm);
  ASSERT_TRUE(run_until([&] { return d.gets.size() == 1 && d.removes.size() == 1; }));

  d.gets[0].done(mq::util::make_error_result<mq::store::entry_t>(
      std::make_exception_ptr(std::system_error(ENOENT, std::generic_category(), "open"))));
  response_t r = receive();
  EXPECT_EQ(response_t::ALARM, r.tag());
  EXPECT_EQ(11u, r.serial());
  EXPECT_EQ(ov::EC_NO_SUCH_ENTRY, r.error().code());
  EXPECT_EQ(std::system_error(ENOENT, std::generic_category(), "open").what(), r.error().what());
  EXPECT_FALSE(r.has_entry());
  EXPECT_EQ(1u, log.count(logger::debug, "Sorter <-- ALARM"));

  d.removes[0].done(
      mq::util::make_error_result<mq::util::none_t>(std::make_exception_ptr(std::runtime_error("database is locked"))));
  r = receive();
  EXPECT_EQ(response_t::ALARM, r.tag());
  EXPECT_EQ(12u, r.serial());
  EXPECT_EQ(ov::EC_UNEXPECTED_ERROR, r.error().code());
  EXPECT_EQ("database is locked", r.error().what());

  // The connection goes on.
  d.tie->notify_store_state("/p");
  EXPECT_EQ(response_t::STORE_STATE_NOTIFICATION, receive().tag());
}

TEST_F(SorterTie, UpdateWithAFileTakesItsSize) {
  request_t m = request(request_t::UPDATE_ENTRY_REQUEST, 4);
  m.set_entry_id(8);
  m.set_status(mq::SMTP_FRESH);  // ignored: the update's own status counts
  mq::EntryUpdate* u = m.mutable_entry_update();
  u->set_message_size(6);
  u->set_attempts(3);
  u->set_next_access_ts(77);
  u->set_status(mq::SMTP_ACCEPTED);
  u->mutable_smtp_sender()->set_sender("new@example");
  u->mutable_smtp_sender()->add_esmtp("RET=HDRS");
  u->add_smtp_recipient()->set_recipient("x@example");
  auto* part = u->add_mime_part();
  part->set_path("2");
  part->set_scan_report("ignored");
  auto* sample = part->add_kavren_sample();
  sample->set_id("smp");
  auto* analysis = sample->add_analysis();
  analysis->set_params("prm");
  analysis->set_id("an");
  mq::util::unique_fd_t file = memory_file_fd("new!!\n");
  peer.send(m, file.get());
  ASSERT_TRUE(run_until([&] { return d.updates.size() == 1; }));

  auto& call = d.updates[0];
  EXPECT_EQ(8, call.id);
  EXPECT_EQ(boost::optional<std::uint64_t>(3), call.update.attempts);
  EXPECT_EQ(boost::optional<std::uint64_t>(77), call.update.next_access_ts);
  EXPECT_EQ(boost::optional<mq::store::status_t>(mq::store::smtp_accepted), call.update.status);
  ASSERT_TRUE(call.update.smtp_sender);
  EXPECT_EQ("new@example", call.update.smtp_sender->sender);
  EXPECT_EQ(std::vector<std::string>{"RET=HDRS"}, call.update.smtp_sender->esmtp);
  ASSERT_EQ(1u, call.update.smtp_recipients.size());
  EXPECT_EQ("x@example", call.update.smtp_recipients[0].recipient);
  ASSERT_EQ(1u, call.update.content.mime_parts.size());
  const auto& p = call.update.content.mime_parts[0];
  EXPECT_EQ("2", p.path);
  EXPECT_FALSE(p.scan_report);
  ASSERT_EQ(1u, p.samples.size());
  EXPECT_EQ("smp", p.samples[0].id);
  ASSERT_EQ(1u, p.samples[0].analyses.size());
  EXPECT_EQ("prm", p.samples[0].analyses[0].params);
  EXPECT_EQ("an", p.samples[0].analyses[0].id);
  EXPECT_TRUE(call.update.content.urls.empty());
  EXPECT_FALSE(call.update.message_filename);
  EXPECT_EQ(boost::optional<std::uint64_t>(6), call.update.message_size);
  ASSERT_TRUE(call.file);
  EXPECT_EQ(6u, call.file->size);
  EXPECT_EQ("new!!\n", read_fd(call.file->fd));

  call.done(mq::util::none_t{});
  response_t r = receive();
  EXPECT_EQ(response_t::UPDATE_ENTRY_RESPONSE, r.tag());
  EXPECT_EQ(4u, r.serial());
}

TEST_F(SorterTie, UpdateWithoutAFileIgnoresTheSize) {
  request_t m = request(request_t::UPDATE_ENTRY_REQUEST, 4);
  m.set_entry_id(8);
  m.mutable_entry_update()->set_message_size(6);
  peer.send(m);
  ASSERT_TRUE(run_until([&] { return d.updates.size() == 1; }));
  const auto& u = d.updates[0].update;
  EXPECT_FALSE(d.updates[0].file);
  EXPECT_FALSE(u.message_size);
  EXPECT_FALSE(u.attempts || u.next_access_ts || u.status || u.smtp_sender);
  EXPECT_TRUE(u.smtp_recipients.empty());
}

TEST_F(SorterTie, RemoveAndEntryIdsAreForwardedAndAnswered) {
  request_t rm = request(request_t::REMOVE_ENTRY_REQUEST, 20);
  rm.set_entry_id(1234567890123LL);
  peer.send(rm);
  request_t ids = request(request_t::GET_ENTRY_IDS_REQUEST, 21);
  ids.set_status(mq::BCC_ACCEPTED);
  ids.set_entry_id(17);
  ids.set_next_access_ts(900);
  ids.set_limit(2);
  peer.send(ids);
  request_t first = request(request_t::GET_ENTRY_IDS_REQUEST, 22);
  first.set_status(mq::SMTP_FRESH);
  peer.send(first);
  ASSERT_TRUE(run_until([&] { return d.removes.size() == 1 && d.chunks.size() == 2; }));

  EXPECT_EQ(1234567890123LL, d.removes[0].id);
  EXPECT_EQ(17, d.chunks[0].request.entry_id);
  EXPECT_EQ(900u, d.chunks[0].request.next_access_ts);
  EXPECT_EQ(mq::store::bcc_accepted, d.chunks[0].request.status);
  EXPECT_EQ(2u, d.chunks[0].request.limit);
  EXPECT_EQ(0, d.chunks[1].request.entry_id);
  EXPECT_EQ(0u, d.chunks[1].request.next_access_ts);
  EXPECT_EQ(mq::store::smtp_fresh, d.chunks[1].request.status);
  EXPECT_EQ(0u, d.chunks[1].request.limit);

  d.chunks[0].done(std::vector<mq::store::queue_key_t>{{30, 900}, {18, 901}});
  response_t r = receive();
  EXPECT_EQ(response_t::GET_ENTRY_IDS_RESPONSE, r.tag());
  EXPECT_EQ(21u, r.serial());
  ASSERT_EQ(2, r.queue_key_list_size());
  EXPECT_EQ(30u, r.queue_key_list(0).entry_id());
  EXPECT_EQ(900u, r.queue_key_list(0).next_access_ts());
  EXPECT_EQ(18u, r.queue_key_list(1).entry_id());
  EXPECT_EQ(901u, r.queue_key_list(1).next_access_ts());

  d.chunks[1].done(std::vector<mq::store::queue_key_t>{});
  r = receive();
  EXPECT_EQ(22u, r.serial());
  EXPECT_EQ(0, r.queue_key_list_size());

  d.removes[0].done(mq::util::none_t{});
  r = receive();
  EXPECT_EQ(response_t::REMOVE_ENTRY_RESPONSE, r.tag());
  EXPECT_EQ(20u, r.serial());
}

TEST_F(SorterTie, ResponsesGoOutInCompletionOrder) {
  for (std::uint32_t serial : {1u, 2u, 3u}) {
    request_t m = request(request_t::GET_ENTRY_REQUEST, serial);
    m.set_entry_id(serial);
    peer.send(m);
  }
  ASSERT_TRUE(run_until([&] { return d.gets.size() == 3; }));
  for (std::size_t i : {2u, 0u, 1u}) {
    mq::store::entry_t e;
    e.metadata.id = d.gets[i].id;
    e.file = mq::store::shared_file_t(memory_file_fd("m").release(), 1);
    d.gets[i].done(std::move(e));
  }
  EXPECT_EQ(3u, receive().serial());
  EXPECT_EQ(1u, receive().serial());
  EXPECT_EQ(2u, receive().serial());
}

TEST_F(SorterTie, RepeatedSerialOfOneKindEndsTheConnection) {
  request_t get = request(request_t::GET_ENTRY_REQUEST, 5);
  get.set_entry_id(1);
  peer.send(get);
  request_t remove = request(request_t::REMOVE_ENTRY_REQUEST, 5);  // another kind: fine
  remove.set_entry_id(1);
  peer.send(remove);
  ASSERT_TRUE(run_until([&] { return d.gets.size() == 1 && d.removes.size() == 1; }));

  peer.send(get);
  expect_ended_with("Repeated request serial");
  EXPECT_EQ(1u, d.gets.size());
  // Late completions of the ended connection go nowhere.
  d.gets[0].done(mq::util::make_error_result<mq::store::entry_t>(std::make_exception_ptr(std::runtime_error("x"))));
  d.removes[0].done(mq::util::none_t{});
  EXPECT_EQ(0u, log.count(logger::debug, "Sorter <-- ALARM"));
}

TEST_F(SorterTie, ASerialIsFreeAgainOnceAnswered) {
  request_t get = request(request_t::GET_ENTRY_REQUEST, 5);
  get.set_entry_id(1);
  peer.send(get);
  ASSERT_TRUE(run_until([&] { return d.gets.size() == 1; }));
  d.gets[0].done(mq::util::make_error_result<mq::store::entry_t>(std::make_exception_ptr(std::runtime_error("gone"))));
  EXPECT_EQ(response_t::ALARM, receive().tag());
  peer.send(get);
  ASSERT_TRUE(run_until([&] { return d.gets.size() == 2; }));
  EXPECT_NE(nullptr, d.tie);
  EXPECT_EQ(0, d.disconnects);
}

// Each request lacking a field it needs ends only its own connection, with
// the text of the violation.
struct missing_field_case_t {
  const char* name;
  request_t message;
  bool with_file;
  std::string text;
};

std::vector<missing_field_case_t> missing_field_cases() {
  const std::string prefix = "message mq.Sorter2MailQuarantineMessage tagged ";
  std::vector<missing_field_case_t> cases;
  auto add = [&](const char* name, request_t m, bool with_file, std::string text) {
    cases.push_back({name, std::move(m), with_file, std::move(text)});
  };
  request_t m;
  m.set_tag(request_t::GET_ENTRY_REQUEST);
  m.set_entry_id(1);
  add("get without serial", m, false, prefix + "GET_ENTRY_REQUEST does not have field serial set");
  m = request(request_t::GET_ENTRY_REQUEST, 1);
  add("get without id", m, false, prefix + "GET_ENTRY_REQUEST does not have field entry_id set");
  m = request(request_t::PUT_ENTRY_REQUEST, 1);
  add("put without status", m, true, prefix + "PUT_ENTRY_REQUEST does not have field status set");
  m.set_status(mq::SMTP_FRESH);
  add("put without file", m, false, "mq.Sorter2MailQuarantineMessage: message file not specified");
  m.clear_serial();
  add("put without serial", m, true, prefix + "PUT_ENTRY_REQUEST does not have field serial set");
  m = request(request_t::UPDATE_ENTRY_REQUEST, 1);
  add("update without id", m, false, prefix + "UPDATE_ENTRY_REQUEST does not have field entry_id set");
  m.set_entry_id(3);
  add("update with file, no size", m, true, "Entry does not have message_size");
  m.clear_serial();
  add("update without serial", m, false, prefix + "UPDATE_ENTRY_REQUEST does not have field serial set");
  m.clear_tag();
  m.set_tag(request_t::REMOVE_ENTRY_REQUEST);
  m.clear_entry_id();
  add("remove without id nor serial", m, false, prefix + "REMOVE_ENTRY_REQUEST does not have field entry_id set");
  m.set_entry_id(2);
  add("remove without serial", m, false, prefix + "REMOVE_ENTRY_REQUEST does not have field serial set");
  m = request(request_t::GET_ENTRY_IDS_REQUEST, 1);
  add("ids without status", m, false, prefix + "GET_ENTRY_IDS_REQUEST does not have field status set");
  m.clear_serial();
  m.set_status(mq::SMTP_FRESH);
  add("ids without serial", m, false, prefix + "GET_ENTRY_IDS_REQUEST does not have field serial set");
  return cases;
}

TEST_F(SorterTie, RequestsLackingAFieldEndOnlyTheirConnection) {
  for (const auto& c : missing_field_cases()) {
    SCOPED_TRACE(c.name);
    fake_sorter_delegate_t delegate;
    mq::test::loop_peer_t far(io);
    delegate.tie = std::make_unique<mq::sorter::tie_t>(far.take_socket(), &delegate);
    mq::util::unique_fd_t file;
    if (c.with_file) file = memory_file_fd("msg");
    far.send(c.message, file.get());
    EXPECT_TRUE(far.wait_closed());
    EXPECT_EQ(1, delegate.disconnects);
    EXPECT_EQ(0u, delegate.requests());
    EXPECT_EQ(1u, log.count(logger::error, "Sorter: " + c.text)) << ::testing::PrintToString(log.lines());
  }
  // The fixture's own connection never noticed.
  request_t get = request(request_t::GET_ENTRY_REQUEST, 1);
  get.set_entry_id(1);
  peer.send(get);
  ASSERT_TRUE(run_until([&] { return d.gets.size() == 1; }));
}

TEST_F(SorterTie, AStatusOutsideTheEnumerationCountsAsMissing) {
  // tag PUT_ENTRY_REQUEST, serial 1, status 9, by hand.
  const std::string body("\x08\x02\x10\x01\x20\x09", 6);
  mq::util::unique_fd_t file = memory_file_fd("msg");
  peer.send_body(body, file.get());
  expect_ended_with("message mq.Sorter2MailQuarantineMessage tagged PUT_ENTRY_REQUEST does not have field status set");
  EXPECT_EQ(0u, d.requests());
}

TEST_F(SorterTie, MalformedFramesEndTheConnection) {
  peer.send_body(std::string("\x08\x07", 2));  // tag 7 is not a request
  expect_ended_with("mq.Sorter2MailQuarantineMessage: invalid message format");
}

TEST_F(SorterTie, AMissingNestedRequiredFieldIsMalformed) {
  request_t m = request(request_t::PUT_ENTRY_REQUEST, 1);
  m.set_status(mq::SMTP_FRESH);
  m.mutable_entry()->add_smtp_recipient();  // recipient is required
  mq::util::unique_fd_t file = memory_file_fd("x");
  peer.send_body(m.SerializePartialAsString(), file.get());
  expect_ended_with("mq.Sorter2MailQuarantineMessage: invalid message format");
}

TEST_F(SorterTie, DescriptorsWithOtherRequestsAreClosed) {
  const std::size_t before = open_descriptors();
  for (std::uint32_t serial = 1; serial <= 20; ++serial) {
    request_t rm = request(request_t::REMOVE_ENTRY_REQUEST, serial);
    rm.set_entry_id(serial);
    mq::util::unique_fd_t file = memory_file_fd("x");
    peer.send(rm, file.get());
  }
  ASSERT_TRUE(run_until([&] { return d.removes.size() == 20; }));
  EXPECT_EQ(before, open_descriptors());
}

TEST_F(SorterTie, PeerClosingIsADisconnectAndDropsResults) {
  request_t get = request(request_t::GET_ENTRY_REQUEST, 1);
  get.set_entry_id(1);
  peer.send(get);
  ASSERT_TRUE(run_until([&] { return d.gets.size() == 1; }));
  peer.close();
  ASSERT_TRUE(run_until([&] { return d.disconnects == 1; }));
  EXPECT_EQ(nullptr, d.tie);
  EXPECT_EQ(1u, log.count(logger::debug, "Sorter: disconnected"));
  for (const auto& line : log.lines()) EXPECT_EQ(std::string::npos, line.find("4 Sorter"));
  mq::store::entry_t e;
  e.file = mq::store::shared_file_t(memory_file_fd("m").release(), 1);
  d.gets[0].done(std::move(e));
  EXPECT_EQ(0u, log.count(logger::debug, "Sorter <-- GET_ENTRY_RESPONSE"));
}

TEST_F(SorterTie, SubscriptionIsIdempotentAndNotifiesWithKeys) {
  request_t sub;
  sub.set_tag(request_t::SUBSCRIBE_TO_QUEUE_CHANGES);
  peer.send(sub);
  peer.send(sub);
  request_t probe = request(request_t::GET_ENTRY_IDS_REQUEST, 1);
  probe.set_status(mq::SMTP_FRESH);
  peer.send(probe);
  ASSERT_TRUE(run_until([&] { return d.chunks.size() == 1; }));
  EXPECT_EQ(1, d.subscribes);
  EXPECT_EQ(1u, d.queue_changed.num_slots());
  EXPECT_EQ(2u, log.count(logger::debug, "Sorter --> SUBSCRIBE_TO_QUEUE_CHANGES"));

  auto change = std::make_shared<mq::store::queue_change_t>();
  change->status = mq::store::bcc_fresh;
  change->keys = {{4, 0}, {9, 0}};
  d.queue_changed(change);
  response_t r = receive();
  EXPECT_EQ(response_t::QUEUE_CHANGE_NOTIFICATION, r.tag());
  EXPECT_FALSE(r.has_serial());
  EXPECT_EQ(mq::BCC_FRESH, r.status());
  ASSERT_EQ(2, r.queue_key_list_size());
  EXPECT_EQ(4u, r.queue_key_list(0).entry_id());
  EXPECT_EQ(0u, r.queue_key_list(0).next_access_ts());
  EXPECT_EQ(9u, r.queue_key_list(1).entry_id());
  EXPECT_TRUE(peer.idle_and_silent());

  // Gone with the connection.
  peer.close();
  ASSERT_TRUE(run_until([&] { return d.disconnects == 1; }));
  EXPECT_EQ(0u, d.queue_changed.num_slots());
  d.queue_changed(change);
}

// Frames already waiting when the connection object is built are handled
// once it is complete, after what its owner sends first.
TEST(SorterTieStart, FramesWaitingAtConstructionWaitForTheOwner) {
  boost::asio::io_context io;
  mq::test::log_capture_t log;
  mq::test::loop_peer_t peer(io);
  fake_sorter_delegate_t d;
  request_t get = request(request_t::GET_ENTRY_REQUEST, 1);
  get.set_entry_id(10);
  peer.send(get);
  request_t put = request(request_t::PUT_ENTRY_REQUEST, 2);
  put.set_status(mq::SMTP_FRESH);
  mq::util::unique_fd_t file = memory_file_fd("early");
  peer.send(put, file.get());
  get.set_serial(3);
  get.set_entry_id(11);
  peer.send(get);

  d.tie = std::make_unique<mq::sorter::tie_t>(peer.take_socket(), &d);
  d.tie->notify_store_state("/spool");
  ASSERT_TRUE(mq::test::run_until(io, [&] { return d.gets.size() == 2 && d.puts.size() == 1; }));
  EXPECT_EQ(0, d.calls_while_building);
  EXPECT_EQ(10, d.gets[0].id);
  EXPECT_EQ(11, d.gets[1].id);
  EXPECT_EQ("early", read_fd(d.puts[0].entry.file.fd));
  response_t first;
  ASSERT_TRUE(peer.receive(first));
  EXPECT_EQ(response_t::STORE_STATE_NOTIFICATION, first.tag());
  d.puts[0].done(std::uint64_t{5});
  response_t r;
  ASSERT_TRUE(peer.receive(r));
  EXPECT_EQ(response_t::PUT_ENTRY_RESPONSE, r.tag());
}

TEST(SorterTieStart, AnEndWaitingAtConstructionComesOnceTheOwnerHoldsIt) {
  for (bool malformed : {true, false}) {
    SCOPED_TRACE(malformed);
    boost::asio::io_context io;
    mq::test::log_capture_t log;
    mq::test::loop_peer_t peer(io);
    fake_sorter_delegate_t d;
    request_t get = request(request_t::GET_ENTRY_REQUEST, 1);
    get.set_entry_id(10);
    peer.send(get);
    if (malformed) {
      get.clear_serial();
      peer.send(get);
      peer.send(get);  // never read: the connection has ended before it
    } else {
      peer.close();
    }
    d.tie = std::make_unique<mq::sorter::tie_t>(peer.take_socket(), &d);
    ASSERT_TRUE(mq::test::run_until(io, [&] { return d.disconnects == 1; }));
    EXPECT_EQ(0, d.calls_while_building);
    EXPECT_EQ(nullptr, d.tie);
    EXPECT_EQ(1u, d.gets.size());
    EXPECT_EQ(malformed ? 1u : 0u,
              log.count(logger::error,
                        "Sorter: message mq.Sorter2MailQuarantineMessage tagged GET_ENTRY_REQUEST does not have field "
                        "serial set"));
    EXPECT_EQ(malformed ? 0u : 1u, log.count(logger::debug, "Sorter: disconnected"));
  }
}

}  // namespace
