// support::debug — pieces of the single-line debug forms that log lines print for whole
// records and messages: texts in double quotes with backslash escapes, and lists and maps as
// items separated by ", " inside brackets or braces. Any thread; appends to the caller's text.
#pragma once

#include <string>
#include <string_view>

namespace support::debug {

// "text" with \" \\ \n \r \t and \u{..} for other control characters (C1 included).
void append_quoted(std::string& out, std::string_view s);

// `open`, each item written by item(out, v), separated by ", ", then `close`.
template <class Range, class Item>
void append_sequence(std::string& out, char open, const Range& items, Item&& item, char close) {
    out += open;
    bool first = true;
    for (const auto& v : items) {
        if (!first) out += ", ";
        first = false;
        item(out, v);
    }
    out += close;
}

}  // namespace support::debug
