#include "text.h"

#include <idn2.h>
#include <locale.h>
#include <wchar.h>
#include <wctype.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace mqctl {

namespace {

// C.UTF-8 for the character tables, whatever the environment says.
locale_t utf8_locale() {
  static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return loc;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

// Characters that change how the rest of a line looks without showing
// themselves: direction controls, invisible and ignorable marks, line and
// paragraph separators.
bool invisible_format(char32_t c) {
  static constexpr std::pair<char32_t, char32_t> ranges[] = {
#include "invisible.inc"
  };
  const auto* it =
      std::upper_bound(std::begin(ranges), std::end(ranges), c, [](char32_t v, const auto& r) { return v < r.first; });
  return it != std::begin(ranges) && c <= std::prev(it)->second;
}

std::string hex_escape(const char* format, unsigned value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

}  // namespace

const char* short_escape(char32_t c) {
  switch (c) {
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      return nullptr;
  }
}

bool next_char(const std::string& s, std::size_t& at, char32_t& c) {
  const auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b = byte(at);
  std::size_t n = 0;
  char32_t v = 0, min = 0;
  if (b < 0x80) {
    c = b;
    ++at;
    return true;
  } else if ((b & 0xe0) == 0xc0) {
    n = 1, v = b & 0x1f, min = 0x80;
  } else if ((b & 0xf0) == 0xe0) {
    n = 2, v = b & 0x0f, min = 0x800;
  } else if ((b & 0xf8) == 0xf0) {
    n = 3, v = b & 0x07, min = 0x10000;
  } else {
    return false;
  }
  for (std::size_t i = 1; i <= n; ++i) {
    if (at + i >= s.size() || (byte(at + i) & 0xc0) != 0x80) return false;
    v = (v << 6) | (byte(at + i) & 0x3f);
  }
  if (v < min || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff)) return false;
  c = v;
  at += n + 1;
  return true;
}

std::string shown(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  each_char(
      text,
      [&](char32_t c, std::size_t start, std::size_t end) {
        if (const char* escape = short_escape(c)) {
          out += escape;
        } else if (c == 0x1b) {
          out += "\\e";
        } else if (c < 0x20 || c == 0x7f) {
          out += hex_escape("\\x%02x", static_cast<unsigned>(c));
        } else if (c >= 0x80 && c < 0xa0) {
          out += hex_escape("\\u{%02x}", static_cast<unsigned>(c));
        } else if (invisible_format(c)) {
          out += hex_escape("\\u{%04x}", static_cast<unsigned>(c));
        } else {
          out.append(text, start, end - start);
        }
      },
      [&](unsigned char byte) { out += hex_escape("\\x%02x", byte); });
  return out;
}

std::size_t display_width(const std::string& text) {
  std::size_t width = 0;
  each_char(
      text,
      [&](char32_t c, std::size_t, std::size_t) {
        if (c < 0x80) {
          ++width;
          return;
        }
        // wcwidth has no _l form: the thread takes the locale for the call.
        const locale_t previous = uselocale(utf8_locale());
        const int w = wcwidth(static_cast<wchar_t>(c));
        uselocale(previous);
        width += w < 0 ? 1 : static_cast<std::size_t>(w);
      },
      [&](unsigned char) { ++width; });
  return width;
}

std::string fold(const std::string& text, bool ascii) {
  std::string out;
  out.reserve(text.size());
  each_char(
      text,
      [&](char32_t c, std::size_t start, std::size_t end) {
        if (c < 0x80) {
          out += ascii && c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c);
          return;
        }
        const char32_t lower = static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), utf8_locale()));
        if (lower == c) {
          out.append(text, start, end - start);
        } else {
          append_utf8(out, lower);
        }
      },
      [&](unsigned char byte) { out += static_cast<char>(byte); });
  return out;
}

std::string domain_key(const std::string& domain) {
  // Plain ASCII (nearly every domain) needs no tables: punycode stays as it
  // is, in lower case.
  if (std::all_of(domain.begin(), domain.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    std::string out = fold(domain);
    while (!out.empty() && out.back() == '.') out.pop_back();
    return out;
  }
  // The conversion costs some 30 us; a queue has few distinct domains.
  // mq-web converts on several threads at once: the cache is shared under
  // its lock, the conversion itself runs outside it.
  static std::mutex mutex;
  static std::unordered_map<std::string, std::string> known;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (const auto it = known.find(domain); it != known.end()) return it->second;
  }
  std::string folded = fold(domain);
  while (!folded.empty() && folded.back() == '.') folded.pop_back();
  char* ascii = nullptr;
  if (idn2_to_ascii_8z(folded.c_str(), &ascii, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) == IDN2_OK) {
    folded = fold(ascii);
    idn2_free(ascii);
  }
  std::lock_guard<std::mutex> lock(mutex);
  if (known.size() >= 100000) known.clear();
  known.emplace(domain, folded);
  return folded;
}

std::string domain_display(const std::string& key) {
  if (key.find("xn--") == std::string::npos) return key;
  char* text = nullptr;
  if (idn2_to_unicode_8z8z(key.c_str(), &text, 0) != IDN2_OK) return key;
  std::string out = text;
  idn2_free(text);
  return out;
}

}  // namespace mqctl
