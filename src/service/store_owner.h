#pragma once

#include <boost/asio/io_context.hpp>

#include "mail_quarantine_config.pb.h"
#include "store/store.h"
#include "util/service.h"

namespace mq::service {

// Owns the quarantine store: opens it on the first configuration and
// passes later ones on. Another spool directory needs a new process.
class store_owner_t : public mq::util::service_t {
 public:
  store_owner_t(boost::asio::io_context& io, const ov::MailQuarantineConfig* config);
  // Closes the store.
  ~store_owner_t() override;

  void configure() override;

  mq::store::store_t& store() { return store_; }

 private:
  const ov::MailQuarantineConfig* config_;
  mq::store::store_t store_;
  bool opened_ = false;
};

}  // namespace mq::service
