#pragma once

#include <string>

namespace mq::web {

// Text from a message or a peer for an HTML text node or a quoted
// attribute value: control characters, invalid UTF-8 and invisible
// direction marks become visible escapes (as mqctl shows them), then the
// five characters that mean something to HTML become entities.
std::string html(const std::string& untrusted);

// Text from a peer for a line of the log: escaped as mqctl shows it, and
// past 200 bytes cut, with its whole length said.
std::string logged(const std::string& untrusted);

// The same for a block of lines (a header block): each line on its own,
// the line breaks kept.
std::string html_lines(const std::string& untrusted);

// A value for a query string: everything but unreserved characters
// percent-encoded.
std::string url_component(const std::string& value);

// The decoding of url_component and of form fields ('+' is a space); a '%'
// not followed by two hex digits stays as it is.
std::string url_decode(const std::string& text);

}  // namespace mq::web
