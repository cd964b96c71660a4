// support::json — compact JSON writing: strings, numbers and the punctuation between them.
//
// Writers append to a caller-owned string and never fail (short of memory). Output has no
// white space. Numbers go through support::number's JSON layout: shortest round trip, whole
// values with ".0", NaN and infinities as null.
//
// Callers: reply writers on the control and IPC threads. Pure functions, any thread.
#pragma once

#include <string>
#include <string_view>

namespace support::json {

// A JSON string: quote, backslash and U+0000..U+001F escaped (\n \r \t \b \f short, the rest
// as \u00XX); every other byte, UTF-8 included, is copied unchanged.
void append_string(std::string& out, std::string_view s);

// `"key":`, ready for the member's value.
void append_key(std::string& out, std::string_view key);

void append_number(std::string& out, float value);
void append_number(std::string& out, double value);

// Writes `open`, then each element through `write(out, element)` separated by ",", then
// `close`: "[]" / "{}" when empty.
template <class Range, class Write>
void append_sequence(std::string& out, char open, const Range& range, Write&& write, char close) {
    out += open;
    bool first = true;
    for (const auto& element : range) {
        if (!first) out += ',';
        first = false;
        write(out, element);
    }
    out += close;
}

}  // namespace support::json
