#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <fcntl.h>

#include <boost/filesystem/exception.hpp>
#include <boost/system/error_code.hpp>

#include "ov/file_log.h"
#include "ov/log.h"
#include "ov/syslog_log.h"

namespace ov {

namespace {

// An optional sign, then one or more digits and nothing else, within int32.
std::optional<std::int32_t> parse_descriptor(const char* text) {
  const char* const begin = *text == '+' ? text + 1 : text;
  if (begin != text && *begin == '-') return std::nullopt;
  const char* const end = text + std::strlen(text);
  std::int32_t value;
  const auto [stop, error] = std::from_chars(begin, end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

cf_line_hook_t hook_from_environment() {
  const char* value = std::getenv("COM_ORVANE_ADD_LOG_PIPE");
  if (!value) return {};
  std::optional<std::int32_t> fd = parse_descriptor(value);
  if (!fd) {
    if (cf_log_threshold.load() <= 4)
      cf_log_write(4, "Log Factory: Wrong environment variable COM_ORVANE_ADD_LOG_PIPE");
    return {};
  }
  if (cf_log_threshold.load() <= 0) cf_log_write(0, "Log Factory: Additional log - " + std::to_string(*fd));
  const int pipe_fd = *fd;
  // Runs under the writer mutex already.
  return [pipe_fd](const std::string& line) {
    std::string copy = line;
    copy += '\n';
    cf_write_all(pipe_fd, copy.data(), copy.size());
  };
}

}  // namespace

std::shared_ptr<cf_log_t> cf_make_log(const Log& config, cf_line_hook_t hook) {
  const bool chosen_here = !hook;
  if (chosen_here) hook = hook_from_environment();

  switch (config.type()) {
    case Log::FILE: {
      int fd = ::open(config.path().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (fd < 0) {
        const int first_error = errno;
        fd = ::open(config.path().c_str(), O_WRONLY | O_APPEND);
        if (fd < 0) {
          throw boost::filesystem::filesystem_error(
              "Cannot create log", config.path(),
              boost::system::error_code(first_error, boost::system::system_category()));
        }
      }
      return std::make_shared<cf_file_log_t>(fd, true, true, std::move(hook));
    }
    case Log::STDERR:
      // No copies to the additional pipe: they would duplicate standard error.
      if (chosen_here) hook = nullptr;
      return std::make_shared<cf_file_log_t>(2, false, config.show_timestamp(), std::move(hook));
    case Log::SYSLOG:
      return std::make_shared<cf_syslog_log_t>(cf_syslog_log_t::facility_of(config.facility()),
                                               config.has_ident() ? config.ident() : std::string(), std::move(hook));
    default:
      return nullptr;
  }
}

std::shared_ptr<cf_log_t> cf_make_default_log() { return std::make_shared<cf_file_log_t>(2, false, false, nullptr); }

}  // namespace ov
