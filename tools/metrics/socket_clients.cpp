#include "metrics/socket_clients.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <vector>

#include "util/unique_fd.h"

namespace mq::metrics {

namespace {

constexpr std::uint8_t established = 1;  // TCP_ESTABLISHED

struct unix_socket_t {
  std::uint8_t state = 0;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> vfs;  // kernel device number, inode
};

// Every local socket of this network namespace with, when it is bound to a
// file or accepted on one, that file.
std::optional<std::vector<unix_socket_t>> dump_unix_sockets() {
  util::unique_fd_t fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!fd) return std::nullopt;
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } query{};
  query.header.nlmsg_len = sizeof query;
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  query.request.sdiag_family = AF_UNIX;
  query.request.udiag_states = ~0u;
  query.request.udiag_show = UDIAG_SHOW_VFS;
  if (::send(fd.get(), &query, sizeof query, 0) != static_cast<ssize_t>(sizeof query)) return std::nullopt;
  std::vector<unix_socket_t> out;
  alignas(nlmsghdr) char buf[32768];
  for (;;) {
    const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n <= 0) return std::nullopt;
    // Wide enough that the netlink macros compare it with unsigned lengths
    // without a change of sign.
    ssize_t left = n;
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) return out;
      if (h->nlmsg_type == NLMSG_ERROR) return std::nullopt;
      const auto* msg = static_cast<const unix_diag_msg*>(NLMSG_DATA(h));
      unix_socket_t s;
      s.state = msg->udiag_state;
      int attr_left = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *msg));
      for (auto* a = reinterpret_cast<const rtattr*>(msg + 1); RTA_OK(a, attr_left); a = RTA_NEXT(a, attr_left)) {
        if (a->rta_type == UNIX_DIAG_VFS && RTA_PAYLOAD(a) >= sizeof(unix_diag_vfs)) {
          unix_diag_vfs vfs;
          std::memcpy(&vfs, RTA_DATA(a), sizeof vfs);
          s.vfs = std::pair{vfs.udiag_vfs_dev, vfs.udiag_vfs_ino};
        }
      }
      out.push_back(std::move(s));
    }
  }
}

}  // namespace

std::optional<std::uint64_t> count_connections(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  const auto sockets = dump_unix_sockets();
  if (!sockets) return std::nullopt;
  // The kernel numbers devices as major << 20 | minor.
  const std::pair<std::uint32_t, std::uint32_t> file{(major(st.st_dev) << 20) | minor(st.st_dev),
                                                     static_cast<std::uint32_t>(st.st_ino)};
  // Accepted connections carry the listener's file (and its name, which
  // may be another path: the daemon binds elsewhere and renames).
  std::uint64_t n = 0;
  for (const auto& s : *sockets) n += s.state == established && s.vfs == file;
  return n;
}

socket_clients_t count_clients(const std::string& sorter_socket, const std::string& client_socket) {
  return {count_connections(sorter_socket), count_connections(client_socket)};
}

}  // namespace mq::metrics
