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
  ASSERT_TRUE(test::run_until(io, [&] { return accepted.size() == 1; }));
  listen(first);  // the same path again changes nothing
  // Moved from inside the callback: one accept stays pending, on the new path.
  after_accept = [&] {
    after_accept = nullptr;
    listen(second);
  };
  mq::util::unique_fd_t c2 = connect_local(first);
  ASSERT_TRUE(test::run_until(io, [&] { return accepted.size() == 2; }));
  EXPECT_THROW(connect_local(first), std::system_error);
  mq::util::unique_fd_t c3 = connect_local(second);
  ASSERT_TRUE(test::run_until(io, [&] { return accepted.size() == 3; }));
  for (const int i : {0, 1, 2}) EXPECT_TRUE(connected(std::array{c1.get(), c2.get(), c3.get()}[i], i)) << i;
}

TEST_F(acceptor_test, bind_refusals_leave_the_acceptor_closed) {
  {
    local_acceptor_t earlier(io, this);
    earlier.listen(make_local_endpoint(dir.file("stale.sock")));
  }
  test::write_file(dir.file("file"), "not a socket");
  const std::pair<std::string, int> rows[] = {{dir.file("file"), EADDRINUSE},
                                              {dir.file("stale.sock"), EADDRINUSE},
                                              {dir.file("no/such/dir.sock"), ENOENT},
                                              {"/tmp/" + std::string(103, 'p'), ENAMETOOLONG}};
  for (const auto& row : rows) {
    const auto& [path, error] = row;
    SCOPED_TRACE(path);
    listen(dir.file("good" + std::to_string(&row - rows) + ".sock"));
    try {
      listen(path);
      ADD_FAILURE() << "bound";
    } catch (const boost::system::system_error& e) {
      const std::string text = error == ENAMETOOLONG ? "" : "Cannot bind to " + path + ": ";
      EXPECT_EQ(std::tuple(error, 0u), std::tuple(e.code().value(), std::string(e.what()).rfind(text, 0))) << e.what();
    }
    EXPECT_EQ(error == ENAMETOOLONG, acceptor->is_open()) << "a refused bind closes, a refused name changes nothing";
  }
  EXPECT_EQ("not a socket", test::read_file(dir.file("file")));
  io.run_for(std::chrono::milliseconds(50));
  EXPECT_EQ(std::tuple(accepted.size(), errors.size()), std::tuple(0u, 0u)) << "accepted, errors";
}

}  // namespace
}  // namespace mq::net
