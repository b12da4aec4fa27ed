// mqctl's handling of envelope text from the daemon: what a table shows is
// one line without control characters, JSON is valid UTF-8 and gives the
// bytes back exactly; nothing on the way crashes.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "mqctl/output.h"
#include "mqctl/text.h"

namespace {

bool valid_utf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    char32_t c = 0;
    if (!mqctl::next_char(s, i, c)) return false;
  }
  return true;
}

// Reads a JSON string literal back, \udc80-\udcff as the raw byte.
std::string unquote(const std::string& json) {
  std::string out;
  for (std::size_t i = 1; i + 1 < json.size(); ++i) {
    const char e = json[i] == '\\' ? json[++i] : 0;  // the escaped character
    if (e != 'u') {
      out += !e ? json[i] : e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
      continue;
    }
    const unsigned v = static_cast<unsigned>(std::stoul(json.substr(i + 1, 4), nullptr, 16));
    i += 4;
    mq::fuzz::check(v < 0x80 || (v >= 0xdc80 && v <= 0xdcff));
    out += static_cast<char>(v < 0x80 ? v : v - 0xdc00);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string shown = mqctl::shown(text);
  mq::fuzz::check(valid_utf8(shown));
  for (const unsigned char c : shown) mq::fuzz::check(c >= 0x20 && c != 0x7f);
  const std::string json = mqctl::json_string(text);
  mq::fuzz::check(valid_utf8(json) && unquote(json) == text);
  mqctl::display_width(text);
  mqctl::domain_display(mqctl::domain_key(mqctl::fold(text)));
  return 0;
}
