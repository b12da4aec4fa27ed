#pragma once

#include <string>

namespace mq::overseer_tool {

// Severities as sd-daemon and syslog number them.
enum class level_t { error = 3, warning = 4, notice = 5, info = 6, debug = 7 };

// Off: information on standard output, warnings and errors on standard
// error, as on a terminal. On: every line on standard error with its
// "<N>" prefix, which the journal turns into the entry's priority.
void use_journal(bool on);
bool using_journal();

// True when systemd connected standard error to the journal: it names that
// stream in JOURNAL_STREAM as DEVICE:INODE.
bool stderr_is_journal();

// One line of one event, "mq-overseer: " and `text`.
void log(level_t level, const std::string& text);

}  // namespace mq::overseer_tool
