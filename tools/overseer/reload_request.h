#pragma once

#include <sys/types.h>

#include <chrono>

namespace mq::overseer_tool {

// The unit's reload: SIGHUP to the supervisor `pid`, but only once that
// process blocks or catches SIGHUP. Between its exec and the first line of
// main() a SIGHUP would end it as if stopped cleanly, and systemd would not
// restart it. Waits at most `limit`; throws when the process ends first or
// still would not survive the signal by then.
void request_reload(pid_t pid, std::chrono::milliseconds limit);

}  // namespace mq::overseer_tool
