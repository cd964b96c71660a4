// The escapes that JSON strings and debug-form texts share: \" \\ \n \r \t.
#pragma once

#include <string>

namespace support::detail {

// Appends the short escape of `c` and returns true, or returns false when it has none here.
inline bool append_short_escape(std::string& out, char c) {
    switch (c) {
        case '"':
            out += "\\\"";
            return true;
        case '\\':
            out += "\\\\";
            return true;
        case '\n':
            out += "\\n";
            return true;
        case '\r':
            out += "\\r";
            return true;
        case '\t':
            out += "\\t";
            return true;
        default:
            return false;
    }
}

}  // namespace support::detail
