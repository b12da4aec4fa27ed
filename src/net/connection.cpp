#include "net/connection.h"

#include <sstream>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "net/peer.h"
#include "ov/error.h"

namespace mq::net {

namespace {

// Whether a link failure is the peer closing its end (logged as a plain
// disconnect rather than an error).
bool is_end_of_file(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return e.code() == boost::asio::error::eof;
  } catch (...) {
  }
  return false;
}

}  // namespace

// 64 requests in progress hold at most 64 descriptors (a file being put or
// read); with 32 queued, one connection holds under 100 descriptors.
const local_ipc_link_t::flow_limits_t connection_t::flow_limits = {
    64,
    32,  // requests in progress
    std::size_t{4} << 20,
    std::size_t{1} << 20,  // bytes queued for the peer
    32,
    16,  // descriptors queued for the peer
};

connection_t::connection_t(socket_t socket, const char* side, std::size_t kinds)
    : peer_(peer_of(socket.native_handle())),
      link_(std::make_unique<local_ipc_link_t>(std::move(socket), this)),
      side_(side),
      serials_(kinds) {
  link_->set_flow_limits(flow_limits);
}

connection_t::~connection_t() = default;

void connection_t::claim(std::size_t kind, std::uint32_t serial, std::size_t reserved) {
  if (!serials_.at(kind).insert(serial).second) throw ipc_error_t("Repeated request serial");
  if (!link_) return;
  link_->request_started();
  link_->reserve_bytes(reserved);
}

void connection_t::release(std::size_t kind, std::uint32_t serial, std::size_t reserved) {
  serials_.at(kind).erase(serial);
  if (!link_) return;
  link_->release_bytes(reserved);
  link_->request_finished();
}

std::size_t connection_t::answer_budget(std::size_t floor) const {
  const std::size_t room = link_ ? link_->room() : 0;
  return room > floor ? room : floor;
}

void connection_t::drain() {
  draining_ = true;
  if (link_) link_->stop_reading();
  end_if_drained();
}

void connection_t::abandon() {
  if (link_) link_->abandon_requests();
  drain();
}

// The last thing its callers do: the owner may destroy this object inside.
void connection_t::end_if_drained() {
  if (!draining_ || !link_ || !link_->idle()) return;
  link_.reset();
  OV_LOG(debug, side_ << ": closed, every request answered");
  ended();
}

void connection_t::on_written() {
  on_sent();
  end_if_drained();
}

connection_t::held_watch_t::~held_watch_t() {
  const auto held = std::chrono::steady_clock::now() - start_;
  if (held < held_loop_limit || !request_.name) return;
  std::ostringstream text;
  text << "Event loop held for " << std::chrono::duration_cast<std::chrono::milliseconds>(held).count() << " ms by "
       << request_.name(request_.tag);
  if (request_.entry_id) text << " (entry " << *request_.entry_id << ")";
  OV_LOG(warning, text.str());
}

void connection_t::on_message(const std::uint8_t* data, std::uint32_t size, mq::util::unique_fd_t fd) {
  request_ = request_name_t();
  run_request([&] { handle(data, size, std::move(fd)); });
}

void connection_t::run_request(const std::function<void()>& work) {
  std::exception_ptr failure;
  try {
    const held_watch_t watch(request_);
    work();
    return;
  } catch (const ipc_error_t&) {
    failure = std::current_exception();
  } catch (const ov::cf_exception_t&) {
    // A request that lacks what it needs is as malformed as one that does
    // not parse: it ends its own connection, never the daemon.
    failure = std::current_exception();
  }
  end(failure);
}

void connection_t::ended() {
  // The callable may destroy this object: keep it on the stack while it runs.
  if (auto run = std::move(ended_)) run();
}

void connection_t::on_error(std::exception_ptr error) { end(error); }

void connection_t::drop(const std::string& reason) {
  link_.reset();
  OV_LOG(error, side_ << ": " << reason << "; connection of " << peer_ << " dropped");
  ended();
}

void connection_t::end(const std::exception_ptr& error) {
  link_.reset();
  if (is_end_of_file(error)) {
    OV_LOG(debug, side_ << ": disconnected");
  } else {
    OV_LOG(error, side_ << ": " << ov::exception_text(error));
  }
  ended();
}

}  // namespace mq::net
