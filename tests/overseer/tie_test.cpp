// The monitor channel object against a blocking peer on a real socket pair.
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "ov/error.h"
#include "overseer/tie.h"
#include "util/frame_io.h"
#include "util/ipc_error.h"

namespace {

using in_t = ov::Overseer2MailQuarantineMessage;
using out_t = ov::MailQuarantine2OverseerMessage;

class tie_test : public ::testing::Test {
 protected:
  void SetUp() override {
    int pair[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    peer_ = mq::util::unique_fd_t(pair[0]);
    mq::util::local_ipc_link_t::socket_t socket(io_);
    socket.assign(boost::asio::local::stream_protocol(), pair[1]);
    tie_ = std::make_unique<mq::overseer::tie_t>(std::move(socket));
  }

  // The next frame the tie sent, raw.
  std::string next_frame() {
    std::string body;
    mq::util::unique_fd_t fd;
    // Sends happen on the loop: run it until the frame reaches the peer.
    io_.restart();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pollfd p{peer_.get(), POLLIN, 0};
    while (::poll(&p, 1, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
      if (io_.stopped()) io_.restart();
      io_.run_one_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(mq::util::read_frame(peer_.get(), body, fd, 10000));
    EXPECT_FALSE(fd.present());
    return body;
  }

  out_t next_message() {
    out_t m;
    EXPECT_TRUE(m.ParseFromString(next_frame()));
    return m;
  }

  void send(const in_t& m) { mq::util::write_frame(peer_.get(), m.SerializeAsString()); }

  static in_t response(std::uint32_t revision, const std::string& spool) {
    in_t m;
    m.set_tag(in_t::GET_CONFIG_RESPONSE);
    m.set_config_revision(revision);
    m.mutable_config()->set_spool_dir(spool);
    return m;
  }

  // Runs the loop until an exception leaves it; returns it.
  std::exception_ptr run_until_error() {
    io_.restart();
    try {
      io_.run();
    } catch (...) {
      return std::current_exception();
    }
    return nullptr;
  }

  boost::asio::io_context io_;
  mq::util::unique_fd_t peer_;
  std::unique_ptr<mq::overseer::tie_t> tie_;
};

TEST_F(tie_test, request_is_a_bare_tag_and_responses_answer_in_order) {
  std::vector<std::pair<std::string, std::uint32_t>> got;
  tie_->request_config([&](ov::MailQuarantineConfig c, std::uint32_t r) { got.emplace_back(c.spool_dir(), r); });
  tie_->request_config([&](ov::MailQuarantineConfig c, std::uint32_t r) {
    got.emplace_back(c.spool_dir(), r);
    io_.stop();
  });
  // Exactly the two bytes of {tag: GET_CONFIG_REQUEST}, twice.
  EXPECT_EQ(std::string("\x08\x01", 2), next_frame());
  EXPECT_EQ(std::string("\x08\x01", 2), next_frame());

  send(response(7, "/first"));
  send(response(9, "/second"));
  EXPECT_EQ(nullptr, run_until_error());
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ("/first", got[0].first);
  EXPECT_EQ(7u, got[0].second);
  EXPECT_EQ("/second", got[1].first);
  EXPECT_EQ(9u, got[1].second);
}

TEST_F(tie_test, notifications_carry_revision_info_and_stat) {
  tie_->notify_info(42);
  out_t info = next_message();
  EXPECT_EQ(out_t::MY_INFO_NOTIFICATION, info.tag());
  ASSERT_TRUE(info.has_config_revision());
  EXPECT_EQ(42u, info.config_revision());
  EXPECT_TRUE(info.has_info());  // present, empty
  EXPECT_FALSE(info.has_stat());

  ov::MailQuarantineAppStat stat;
  stat.set_clients(0);
  tie_->notify_stat(stat);
  out_t s = next_message();
  EXPECT_EQ(out_t::MY_STAT_NOTIFICATION, s.tag());
  ASSERT_TRUE(s.has_stat());
  ASSERT_TRUE(s.stat().has_clients());  // zero, but present
  EXPECT_EQ(0u, s.stat().clients());
  EXPECT_FALSE(s.has_config_revision());
  EXPECT_FALSE(s.has_info());
}

struct bad_response_t {
  const char* name;
  bool revision;
  bool config;
  const char* text;
};

class tie_bad_response_test : public tie_test, public ::testing::WithParamInterface<bad_response_t> {};

TEST_P(tie_bad_response_test, missing_field_is_a_protocol_violation) {
  bool called = false;
  tie_->request_config([&](ov::MailQuarantineConfig, std::uint32_t) { called = true; });
  next_frame();
  in_t m;
  m.set_tag(in_t::GET_CONFIG_RESPONSE);
  if (GetParam().revision) m.set_config_revision(3);
  if (GetParam().config) m.mutable_config();
  m.mutable_error()->set_code(ov::EC_BAD_CONFIG);  // never looked at
  send(m);
  auto error = run_until_error();
  ASSERT_TRUE(error);
  EXPECT_FALSE(called);
  EXPECT_EQ(ov::EC_PROTOCOL_VIOLATION, ov::error_code_of(error));
  EXPECT_EQ(GetParam().text, ov::exception_text(error));
  EXPECT_FALSE(tie_->is_open());
  // The link is gone, so the peer sees the socket closed.
  std::string body;
  mq::util::unique_fd_t fd;
  EXPECT_FALSE(mq::util::read_frame(peer_.get(), body, fd, 10000));
}

INSTANTIATE_TEST_SUITE_P(
    fields, tie_bad_response_test,
    ::testing::Values(
        bad_response_t{"no_revision", false, true,
                       "message ov.Overseer2MailQuarantineMessage tagged GET_CONFIG_RESPONSE does not have field "
                       "config_revision set"},
        bad_response_t{"no_config", true, false,
                       "message ov.Overseer2MailQuarantineMessage tagged GET_CONFIG_RESPONSE does not have field "
                       "config set"},
        // The revision is checked first.
        bad_response_t{"neither", false, false,
                       "message ov.Overseer2MailQuarantineMessage tagged GET_CONFIG_RESPONSE does not have field "
                       "config_revision set"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(tie_test, unsolicited_response_is_an_unexpected_message) {
  send(response(1, "/x"));
  auto error = run_until_error();
  ASSERT_TRUE(error);
  EXPECT_EQ(ov::EC_UNEXPECTED_MESSAGE, ov::error_code_of(error));
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(&ov::error_category(), &e.code().category());
    EXPECT_EQ(11, e.code().value());
    EXPECT_EQ("1: " + e.code().what(), std::string(e.what()));
  }
  EXPECT_FALSE(tie_->is_open());
}

TEST_F(tie_test, answered_requests_do_not_excuse_a_later_surplus_response) {
  int calls = 0;
  tie_->request_config([&](ov::MailQuarantineConfig, std::uint32_t) { ++calls; });
  send(response(1, "/x"));
  send(response(2, "/x"));
  auto error = run_until_error();
  EXPECT_EQ(1, calls);
  EXPECT_EQ(ov::EC_UNEXPECTED_MESSAGE, ov::error_code_of(error));
}

TEST_F(tie_test, garbage_and_unknown_tags_are_invalid_format) {
  // Tag 2 is unknown to the enumeration, so the required tag counts as
  // missing and the message does not parse.
  mq::util::write_frame(peer_.get(), std::string("\x08\x02\x10\x01", 4));
  auto error = run_until_error();
  ASSERT_TRUE(error);
  EXPECT_EQ("ov.Overseer2MailQuarantineMessage: invalid message format", ov::exception_text(error));
  EXPECT_EQ(ov::EC_UNEXPECTED_ERROR, ov::error_code_of(error));
  try {
    std::rethrow_exception(error);
  } catch (const mq::util::ipc_error_t&) {
  } catch (...) {
    ADD_FAILURE() << "not an ipc_error_t";
  }
}

TEST_F(tie_test, peer_closing_ends_the_channel_with_code_125) {
  peer_.reset();
  auto error = run_until_error();
  ASSERT_TRUE(error);
  EXPECT_EQ(ov::EC_UNEXPECTED_ERROR, ov::error_code_of(error));
  EXPECT_FALSE(tie_->is_open());
  // Late notifications after the failure are dropped, not a crash.
  tie_->notify_info(1);
  ov::MailQuarantineAppStat stat;
  tie_->notify_stat(stat);
  EXPECT_EQ(nullptr, run_until_error());
}

TEST_F(tie_test, zero_length_frame_ends_the_channel) {
  const std::uint32_t zero = 0;
  ASSERT_EQ(4, ::send(peer_.get(), &zero, 4, MSG_NOSIGNAL));
  auto error = run_until_error();
  ASSERT_TRUE(error);
  EXPECT_EQ("invalid message size received", ov::exception_text(error));
  EXPECT_EQ(ov::EC_UNEXPECTED_ERROR, ov::error_code_of(error));
}

TEST_F(tie_test, error_code_from_the_callback_passes_through_untouched) {
  tie_->request_config([](ov::MailQuarantineConfig, std::uint32_t) { throw ov::EC_BAD_CONFIG; });
  send(response(5, "/x"));
  io_.restart();
  try {
    io_.run();
    ADD_FAILURE() << "the loop ended without the code";
  } catch (ov::ErrorCode code) {
    EXPECT_EQ(ov::EC_BAD_CONFIG, code);
  }
  // Not a channel failure: the link is still there.
  EXPECT_TRUE(tie_->is_open());
}

TEST_F(tie_test, exception_from_the_callback_ends_the_channel) {
  tie_->request_config([](ov::MailQuarantineConfig, std::uint32_t) { throw std::runtime_error("inner failure"); });
  send(response(5, "/x"));
  auto error = run_until_error();
  EXPECT_EQ("inner failure", ov::exception_text(error));
  EXPECT_FALSE(tie_->is_open());
}

}  // namespace
