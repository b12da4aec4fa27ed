#include "service/store_owner.h"

#include <boost/filesystem/path.hpp>

#include "util/resolved_user.h"

namespace mq::service {

store_owner_t::store_owner_t(boost::asio::io_context& io, const ov::MailQuarantineConfig* config)
    : config_(config), store_(io) {}

store_owner_t::~store_owner_t() = default;

void store_owner_t::configure() {
  if (!store_.path().empty() && boost::filesystem::path(store_.path()) != boost::filesystem::path(config_->spool_dir()))
    throw mq::util::restart_required_t("Spool directory changed");
  mq::util::resolved_user_t user(config_->run_as_user());
  const bool trace = config_->log_level() == ov::LOG_LEVEL_DEBUG;
  if (opened_) {
    store_.reconfigure(user.uid(), user.gid(), trace);
  } else {
    opened_ = true;
    store_.open(config_->spool_dir(), user.uid(), user.gid(), trace);
  }
}

}  // namespace mq::service
