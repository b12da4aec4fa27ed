#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "common.h"
#include "mail_quarantine_sorter_ipc.pb.h"
#include "net/frame_io.h"
#include "net/tagged.h"
#include "util/unique_fd.h"

namespace mq::test {

// One answer of a scripted daemon: to the request of index `to` (in the
// order they came), with its serial moved by `shift` (no_serial: none) and
// its tag, if given, replaced (error_answer: an error answer). It echoes the
// request's entry id (Sorter) or status (the client's report).
struct reply_t {
  static constexpr int no_serial = 1000, error_answer = -1;
  std::size_t to;
  int shift = 0;
  int tag = 0;
};

// A daemon stand-in on a socket of its own, for one connection: it greets
// and answers the probe as the Sorter side does, then each step reads one
// request and sends the step's replies. Past the last step it hangs up, or
// with `wait` waits for the client to (hung_up()).
template <class request_t, class response_t>
class scripted_daemon_t {
 public:
  static constexpr bool sorter = std::is_same_v<response_t, mq::MailQuarantine2SorterMessage>;

  explicit scripted_daemon_t(std::vector<std::vector<reply_t>> steps, bool wait = true)
      : listener_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{AF_UNIX, {}};
    path().copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_.get(), 1))
      throw_errno("listen");
    thread_ = std::thread([this, steps, wait] {
      const util::unique_fd_t c(::accept(listener_.get(), nullptr, nullptr));
      std::vector<request_t> got(1);
      try {
        if constexpr (sorter) {
          net::write_frame(c.get(), net::tagged<response_t>(response_t::STORE_STATE_NOTIFICATION).SerializeAsString());
          if (!read(c.get(), got[0])) return;
          send(c.get(), got[0], {0, 0, response_t::GET_ENTRY_IDS_RESPONSE});
        }
        got.clear();
        for (const auto& replies : steps) {
          if (!read(c.get(), got.emplace_back())) return;
          for (const reply_t& r : replies) send(c.get(), got.at(r.to), r);
        }
        closed_ = wait && !read(c.get(), got.emplace_back());
      } catch (const std::system_error& e) {  // a reset, or a reply after the close
        closed_ = e.code().value() == ECONNRESET || e.code().value() == EPIPE;
      } catch (const std::runtime_error&) {  // still open
      }
    });
  }
  ~scripted_daemon_t() { thread_.join(); }

  std::string path() const { return dir_.file("d.sock"); }
  // Whether the client hung up after the last step without sending more.
  bool hung_up() {
    thread_.join();
    thread_ = std::thread([] {});
    return closed_;
  }

 private:
  static bool read(int sock, request_t& request) {
    std::string body;
    util::unique_fd_t fd;
    return net::read_frame(sock, body, fd, static_cast<int>(wait_limit().count())) && request.ParseFromString(body);
  }
  static void send(int sock, const request_t& request, const reply_t& r) {
    response_t m;
    m.set_tag(static_cast<typename response_t::Tag>(r.tag > 0 ? r.tag : static_cast<int>(request.tag())));
    if (r.shift != reply_t::no_serial) m.set_serial(request.serial() + static_cast<std::uint32_t>(r.shift));
    if constexpr (sorter) {
      m.set_entry_id(request.entry_id());
      if (r.tag == reply_t::error_answer) m.set_tag(response_t::ALARM);
    } else {
      m.set_report(std::to_string(request.status()));
    }
    if (r.tag == reply_t::error_answer) m.mutable_error()->set_code(ov::EC_UNEXPECTED_ERROR);
    net::write_frame(sock, m.SerializeAsString());
  }

  temp_dir_t dir_;
  util::unique_fd_t listener_;
  std::thread thread_;
  bool closed_ = false;
};

}  // namespace mq::test
