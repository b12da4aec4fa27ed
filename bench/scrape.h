#pragma once

#include <cstdint>
#include <string>

#include "report.h"

namespace mq::bench {

// Scrapes of the metrics (the requests mq-overseer and mqctl metrics make,
// and the rendering) against a daemon on the filled spool of `dir`: alone,
// and one a second while another connection walks the whole queue page by
// page. The bare
// figure is one statistics query and four one-row pages on the database.
void scrape_round(report_t& report, const std::string& daemon, const std::string& dir, std::uint64_t count,
                  int log_level, int repeats, bool bare_sync);

}  // namespace mq::bench
