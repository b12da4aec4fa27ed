// Records are supervisor messages on the monitor channel (flag bit 0: a configuration was asked for
// first); each configuration is applied to the services as the daemon does, paths moved to a scratch folder.
#include <functional>

#include "client/server.h"
#include "fuzz_support.h"
#include "ov/log.h"
#include "overseer/channel.h"
#include "service/appstat_reporter.h"
#include "service/logger.h"
#include "service/store_owner.h"
#include "sorter/server.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string dir = mq::fuzz::fresh_dir("mq-fuzz-config");
  {
    boost::asio::io_context io;
    mq::net::local_ipc_link_t::socket_t ours(io);
    const int peer = mq::fuzz::socket_pair(io, ours);
    mq::overseer::channel_t channel(std::move(ours));
    ov::MailQuarantineConfig config;
    // Declared in list order: destroyed in reverse, as the daemon does.
    mq::service::logger_t logger(&config);
    mq::service::appstat_reporter_t reporter(io, &channel);
    mq::service::store_owner_t store(io, &config);
    mq::client::server_t client(io, &config, &store.store(), &reporter);
    mq::sorter::server_t sorter(io, &config, &store.store(), &reporter);
    mq::util::service_t* services[] = {&logger, &reporter, &store, &client, &sorter};
    bool ended = false;  // where the daemon would exit
    auto apply = [&](ov::MailQuarantineConfig received, std::uint32_t revision) {
      config = std::move(received);
      for (auto* path :
           {config.mutable_spool_dir(), config.mutable_sorter_socket_path(), config.mutable_client_socket_path(),
            config.log().has_path() ? config.mutable_log()->mutable_path() : nullptr,
            config.actual_log().has_path() ? config.mutable_actual_log()->mutable_path() : nullptr}) {
        if (path) *path = dir + "/p" + std::to_string(std::hash<std::string>()(*path) % 64);
      }
      try {
        for (auto& service : services) service->configure();
        channel.notify_info(revision);
      } catch (const std::exception&) {
        ended = true;
      }
    };
    mq::fuzz::records_t in{data, size, true};
    for (int count = 0; count < 16 && !ended && in.next() && !in.bytes.empty(); ++count) {
      if (in.flags & 1) channel.request_config(apply);
      if (!mq::fuzz::send_frame(peer, in.bytes)) break;
      try {
        while (!ended && channel.is_open() && io.poll() > 0) mq::fuzz::drain(peer);
      } catch (const std::exception&) {
        ended = true;  // the channel failed
      }
    }
    ::close(peer);
  }
  ov::cf_log_set(ov::cf_make_default_log());
  ov::cf_log_threshold = ov::util::logger::error + 1;
  boost::filesystem::remove_all(dir);
  return 0;
}
