// The selection's patterns against hostile subjects: a pattern is taken or
// refused with a usage error, matching ends in time linear in the subject,
// and a piece of the subject, quoted, is always found in it.
#include <algorithm>
#include <cstdint>
#include <string>

#include <re2/re2.h>

#include "fuzz_support.h"
#include "mqctl/errors.h"
#include "mqctl/pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte is the pattern's length; the rest is the subject, made
  // long by repeating it.
  if (size < 1) return 0;
  const std::size_t length = std::min<std::size_t>(data[0], size - 1);
  const std::string pattern(reinterpret_cast<const char*>(data) + 1, length);
  std::string subject(reinterpret_cast<const char*>(data) + 1 + length, size - 1 - length);
  while (!subject.empty() && subject.size() < 50000) subject += subject;
  try {
    mqctl::pattern_t(pattern, "--sender").found_in(subject);
  } catch (const mqctl::usage_error_t&) {
  }
  const std::string piece = subject.substr(subject.size() / 3, 16);
  try {
    mq::fuzz::check(mqctl::pattern_t(RE2::QuoteMeta(piece), "--rcpt").found_in(subject));
  } catch (const mqctl::usage_error_t&) {
    // a piece cut inside a character is no valid UTF-8
  }
  return 0;
}
