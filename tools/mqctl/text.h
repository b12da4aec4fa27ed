#pragma once

#include <cstddef>
#include <string>

namespace mqctl {

// Text that came from a peer or a message, made safe for a terminal and one
// line: control characters, invalid UTF-8 bytes and a backslash itself
// become escapes (\n, \t, \e, \xNN, \\, \u{202e} for invisible direction
// marks); everything else stays as it is.
std::string shown(const std::string& text);

// The columns `text` takes on a terminal (wide characters count two).
std::size_t display_width(const std::string& text);

// Lower case for every script (ASCII included, or only the rest when
// `ascii` is false), for case-insensitive matching.
std::string fold(const std::string& text, bool ascii = true);

// A domain in one comparable form: case folded, Unicode labels in their
// ASCII (punycode) form, no trailing dot. Text that is no valid domain
// name is only folded.
std::string domain_key(const std::string& domain);
// The same domain for people: punycode labels back in Unicode.
std::string domain_display(const std::string& key);

// The escape of a backslash, a line break, a carriage return or a tab as
// both the terminal and JSON write them (backslash and n for a line
// break); null for any other character.
const char* short_escape(char32_t c);

// Decodes one UTF-8 character at `at`; false (and `at` unchanged) for an
// invalid or overlong sequence, a surrogate or a value past U+10FFFF.
bool next_char(const std::string& s, std::size_t& at, char32_t& c);

// Walks `text`: `on_char(c, start, end)` for each character, its bytes
// [start, end); `on_byte(byte)` for each byte that starts none.
template <class char_f, class byte_f>
void each_char(const std::string& text, char_f&& on_char, byte_f&& on_byte) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    const std::size_t start = i;
    if (next_char(text, i, c)) {
      on_char(c, start, i);
    } else {
      on_byte(static_cast<unsigned char>(text[i++]));
    }
  }
}

}  // namespace mqctl
