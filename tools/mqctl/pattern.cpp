#include "pattern.h"

#include <re2/re2.h>

#include "errors.h"
#include "text.h"

namespace mqctl {

namespace {

// The pattern as an error message repeats it: escaped, and cut when long.
std::string quoted(const std::string& text) {
  constexpr std::size_t shown_max = 60;
  if (text.size() <= shown_max) return "'" + shown(text) + "'";
  std::size_t cut = shown_max;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;  // not inside a character
  return "'" + shown(text.substr(0, cut)) + "...' (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace

pattern_t::pattern_t(const std::string& text, const std::string& option) {
  const std::string invalid = "invalid " + option + " regular expression " + quoted(text) + ": ";
  if (text.size() > max_length) throw usage_error_t(invalid + "longer than " + std::to_string(max_length) + " bytes");
  RE2::Options options;
  options.set_case_sensitive(false);  // Unicode case folding, not only ASCII
  options.set_max_mem(max_memory);
  options.set_log_errors(false);
  auto re = std::make_shared<const RE2>(text, options);
  if (!re->ok()) {
    std::string why = re->error();
    if (re->error_code() == RE2::ErrorBadEscape || re->error_code() == RE2::ErrorBadPerlOp)
      why += " (RE2 syntax: no backreferences, lookahead or lookbehind)";
    throw usage_error_t(invalid + why);
  }
  re_ = std::move(re);
}

bool pattern_t::found_in(const std::string& subject) const { return RE2::PartialMatch(subject, *re_); }

}  // namespace mqctl
