#include "support/debug.hpp"

#include "escape.hpp"

namespace support::debug {

void append_quoted(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    auto escape_code = [&](unsigned code) {
        out += "\\u{";
        if (code >= 0x10) out += hex[code >> 4];
        out += hex[code & 0xf];
        out += '}';
    };
    out += '"';
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        const auto u = static_cast<unsigned char>(c);
        if (support::detail::append_short_escape(out, c)) continue;
        if (u < 0x20 || u == 0x7f) {
            escape_code(u);
        } else if (u == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(s[i + 1]) <= 0x9f) {
            // U+0080..U+009F are control characters too, two bytes in UTF-8.
            escape_code(static_cast<unsigned char>(s[++i]));
        } else {
            out += c;
        }
    }
    out += '"';
}

}  // namespace support::debug
