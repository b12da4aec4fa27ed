#pragma once

#include <string>
#include <utility>

#include "net/peer.h"
#include "net/server.h"
#include "store/store.h"

namespace mq::service {

// A socket service's entry for one connection: the delegate of its
// connection object (`tie_t`), answering from the store. The end of the
// connection removes the entry.
template <class tie_t>
class store_entry_t : public mq::net::connection_entry_t, public tie_t::delegate_t {
 public:
  template <class T>
  using completion_t = typename tie_t::template completion_t<T>;

  store_entry_t(typename tie_t::socket_t socket, mq::store::store_t* store)
      : peer_(mq::net::peer_of(socket.native_handle())), store_(store), tie_(std::move(socket), this) {
    tie_.set_peer(peer_);
  }

  void drain() override { tie_.drain(); }
  void abandon() override { tie_.abandon(); }
  void on_disconnected() override { disconnect(); }

 protected:
  const std::string peer_;  // who is connected, for the audit lines
  mq::store::store_t* const store_;
  tie_t tie_;
};

}  // namespace mq::service
