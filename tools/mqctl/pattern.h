#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace re2 {
class RE2;
}

namespace mqctl {

// A pattern of --sender, --rcpt or --session: RE2's syntax, letter case
// ignored in every script, found anywhere unless anchored. Matching takes
// time linear in the subject and memory bounded by the pattern, so no
// subject a peer chose can make it recurse or run away. Copies share the
// compiled form, which is safe to use from several threads.
class pattern_t {
 public:
  // Longer pattern texts are refused before they are parsed.
  static constexpr std::size_t max_length = 1024;
  // The compiled form and its matching caches, together.
  static constexpr std::int64_t max_memory = 4 << 20;

  // Throws usage_error_t naming `option` for a pattern it cannot take.
  pattern_t(const std::string& text, const std::string& option);

  bool found_in(const std::string& subject) const;

 private:
  std::shared_ptr<const re2::RE2> re_;
};

}  // namespace mqctl
