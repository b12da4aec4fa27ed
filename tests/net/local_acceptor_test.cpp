#include "net/local_acceptor.h"

#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/system/system_error.hpp>

#include "net/frame_io.h"
#include "support/common.h"

namespace mq::net {
namespace {

using protocol_t = local_acceptor_t::protocol_t;

struct acceptor_test : ::testing::Test, local_acceptor_t::delegate_t {
  void on_client_accepted(protocol_t::socket socket) override {
    accepted.push_back(std::move(socket));
    if (after_accept) after_accept();
  }
  void on_accept_error(std::exception_ptr error) override { errors.push_back(error); }

  bool run_until(const std::function<bool()>& done) { return test::run_until(io, done); }
  // A frame from `client` arrives on the accepted socket `i`.
  bool connected(int client, std::size_t i) {
    write_frame(client, "probe");
    std::string body;
    mq::util::unique_fd_t fd;
    return read_frame(accepted.at(i).native_handle(), body, fd, test::wait_limit().count()) && body == "probe";
  }
  void listen(const std::string& path) { acceptor->listen(make_local_endpoint(path)); }

  boost::asio::io_context io;
  test::temp_dir_t dir;
  std::unique_ptr<local_acceptor_t> acceptor = std::make_unique<local_acceptor_t>(io, this);
  std::vector<protocol_t::socket> accepted;
  std::vector<std::exception_ptr> errors;
  std::function<void()> after_accept;
};

TEST_F(acceptor_test, repointing_keeps_open_connections) {
  const std::string first = dir.file("first.sock"), second = dir.file("second.sock");
  listen(first);
  mq::util::unique_fd_t c1 = connect_local(first);
  ASSERT_TRUE(run_until([&] { return accepted.size() == 1; }));
  listen(first);  // the same path again changes nothing
  // Moved from inside the callback: one accept stays pending, on the new path.
  after_accept = [&] {
    after_accept = nullptr;
    listen(second);
  };
  mq::util::unique_fd_t c2 = connect_local(first);
  ASSERT_TRUE(run_until([&] { return accepted.size() == 2; }));
  EXPECT_THROW(connect_local(first), std::system_error);
  mq::util::unique_fd_t c3 = connect_local(second);
  ASSERT_TRUE(run_until([&] { return accepted.size() == 3; }));
  for (const int i : {0, 1, 2}) EXPECT_TRUE(connected(std::array{c1.get(), c2.get(), c3.get()}[i], i)) << i;
}

TEST_F(acceptor_test, bind_refusals_leave_the_acceptor_closed) {
  {
    local_acceptor_t earlier(io, this);
    earlier.listen(make_local_endpoint(dir.file("stale.sock")));
  }
  test::write_file(dir.file("file"), "not a socket");
  struct row_t {
    std::string path;
    int error;
    std::string text;  // what() starts with it
  } const rows[] = {
      {dir.file("file"), EADDRINUSE, "Cannot bind to " + dir.file("file") + ": "},
      {dir.file("stale.sock"), EADDRINUSE, "Cannot bind to " + dir.file("stale.sock") + ": "},
      {dir.file("no/such/dir.sock"), ENOENT, "Cannot bind to " + dir.file("no/such/dir.sock") + ": "},
      {"/tmp/" + std::string(103, 'p'), ENAMETOOLONG, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    listen(dir.file("good" + std::to_string(&row - rows) + ".sock"));
    try {
      listen(row.path);
      ADD_FAILURE() << "bound";
    } catch (const boost::system::system_error& e) {
      EXPECT_EQ(row.error, e.code().value());
      EXPECT_EQ(0u, std::string(e.what()).rfind(row.text, 0)) << e.what();
    }
    EXPECT_EQ(row.error == ENAMETOOLONG, acceptor->is_open())
        << "a refused bind closes, a refused name changes nothing";
  }
  EXPECT_EQ("not a socket", test::read_file(dir.file("file")));
  test::run_until(
      io, [] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(std::tuple(accepted.size(), errors.size()), std::tuple(0u, 0u)) << "accepted, errors";
}

}  // namespace
}  // namespace mq::net
