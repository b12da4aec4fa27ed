// Configuration application: records are monitor-channel messages from the
// supervisor (flag bit 0: the daemon asked for a configuration first), fed
// through the channel; each configuration is applied to the services in
// list order as the daemon does, short of giving up root. Every path is
// moved under a scratch directory.
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "ov/log.h"
#include "overseer/tie.h"
#include "service/appstat_reporter.h"
#include "service/client.h"
#include "service/logger.h"
#include "service/sorter.h"
#include "service/store.h"

namespace {

std::string confined(const std::string& dir, const std::string& path) {
  std::string name;
  for (char c : path)
    if (std::isalnum(static_cast<unsigned char>(c)) && name.size() < 16) name += c;
  return dir + "/p" + name;
}

void confine(const std::string& dir, ov::MailQuarantineConfig& c) {
  c.set_spool_dir(confined(dir, c.spool_dir()));
  c.set_sorter_socket_path(confined(dir, c.sorter_socket_path()));
  c.set_client_socket_path(confined(dir, c.client_socket_path()));
  if (c.log().has_path()) c.mutable_log()->set_path(confined(dir, c.log().path()));
  if (c.actual_log().has_path()) c.mutable_actual_log()->set_path(confined(dir, c.actual_log().path()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string dir = mq::fuzz::fresh_dir("mq-fuzz-config");
  {
    boost::asio::io_context io;
    mq::util::local_ipc_link_t::socket_t ours(io);
    const int peer = mq::fuzz::socket_pair(io, ours);
    mq::overseer::tie_t tie(std::move(ours));
    ov::MailQuarantineConfig config;
    std::vector<std::unique_ptr<mq::util::service_t>> services;
    auto reporter = std::make_unique<mq::service::appstat_reporter_t>(io, &tie);
    auto store = std::make_unique<mq::service::store_t>(io, &config);
    auto client = std::make_unique<mq::service::client_t>(io, &config, &store->store(), reporter.get());
    auto sorter = std::make_unique<mq::service::sorter_t>(io, &config, &store->store(), reporter.get());
    services.push_back(std::make_unique<mq::service::logger_t>(&config));
    services.push_back(std::move(reporter));
    services.push_back(std::move(store));
    services.push_back(std::move(client));
    services.push_back(std::move(sorter));

    bool ended = false;
    auto apply = [&](ov::MailQuarantineConfig received, std::uint32_t revision) {
      config = std::move(received);
      confine(dir, config);
      try {
        for (auto& service : services) service->configure();
        tie.notify_info(revision);
      } catch (const std::exception&) {
        ended = true;  // the daemon would exit (restart or bad configuration)
      }
    };
    mq::fuzz::records_t records{data, size, true};
    std::uint8_t flags;
    std::string body;
    for (int count = 0; count < 16 && !ended && records.next(flags, body) && !body.empty(); ++count) {
      if (flags & 1) tie.request_config(apply);
      const std::uint32_t length = static_cast<std::uint32_t>(body.size());
      if (!mq::fuzz::send_bytes(peer, std::string(reinterpret_cast<const char*>(&length), 4) + body, -1)) break;
      try {
        while (!ended && tie.is_open() && io.poll() > 0) mq::fuzz::drain(peer);
      } catch (const std::exception&) {
        ended = true;  // the channel failed: the daemon would exit with its code
      }
      mq::fuzz::drain(peer);
    }
    for (auto it = services.rbegin(); it != services.rend(); ++it) it->reset();
    ::close(peer);
  }
  ov::cf_log_set(ov::cf_make_default_log());
  mq::fuzz::quiet_log();
  ov::cf_log_threshold = ov::util::logger::error + 1;
  boost::filesystem::remove_all(dir);
  return 0;
}
