#include "support/json_write.hpp"

#include "escape.hpp"
#include "support/number.hpp"

namespace support::json {

void append_string(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out.reserve(out.size() + s.size() + 2);
    out += '"';
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (support::detail::append_short_escape(out, c)) continue;
        if (c == '\b') {
            out += "\\b";
        } else if (c == '\f') {
            out += "\\f";
        } else if (u < 0x20) {
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
}

void append_key(std::string& out, std::string_view key) {
    append_string(out, key);
    out += ':';
}

void append_number(std::string& out, float value) {
    number::append_json(out, value);
}

void append_number(std::string& out, double value) {
    number::append_json(out, value);
}

}  // namespace support::json
