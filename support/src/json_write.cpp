#include "support/json_write.hpp"

#include "support/number.hpp"

namespace support::json {

void append_string(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out.reserve(out.size() + s.size() + 2);
    out += '"';
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (u < 0x20) {
                    out += "\\u00";
                    out += hex[u >> 4];
                    out += hex[u & 0xf];
                } else {
                    out += c;
                }
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
