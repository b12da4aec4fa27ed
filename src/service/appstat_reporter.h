#pragma once

#include <cstdint>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "mail_quarantine_appstat.pb.h"
#include "net/server.h"
#include "util/callback_wrapper.h"
#include "util/service.h"

namespace mq::overseer {
class channel_t;
}

namespace mq::service {

// Counts the open client connections of both socket services and reports
// them to the supervisor once a second, from one second after construction.
class appstat_reporter_t : public mq::util::service_t,
                           public mq::util::callback_wrapper_t,
                           public mq::net::connection_counter_t {
 public:
  appstat_reporter_t(boost::asio::io_context& io, mq::overseer::channel_t* channel);
  ~appstat_reporter_t() override;

  void configure() override {}

  // A socket service accepted a connection.
  void add_client() override;
  // A connection of a socket service ended and was removed.
  void remove_client() override;

  std::uint32_t clients() const { return stat_.clients(); }

 private:
  void start_timer();
  void on_timer(const boost::system::error_code& error);

  boost::asio::steady_timer timer_;
  mq::overseer::channel_t* channel_;
  ov::MailQuarantineAppStat stat_;
};

}  // namespace mq::service
