#include "utf8.hpp"

#include "support/json.hpp"

namespace audio_faust::utf8 {

bool valid(std::string_view bytes) { return support::json::valid_utf8(bytes); }

namespace {

// Length of the valid sequence at the start of `s`, or, when it is invalid, minus the length
// of its maximal invalid prefix (at least 1).
int sequence(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = b(0);
    if (lead < 0x80) return 1;
    int len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    for (int i = 1; i < len; ++i) {
        if (static_cast<std::size_t>(i) >= s.size()) return -i;
        const unsigned char c = b(i);
        if (i == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) return -i;
    }
    return len;
}

}  // namespace

std::string lossy(std::string_view bytes) {
    if (valid(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 8);
    while (!bytes.empty()) {
        const int n = sequence(bytes);
        if (n > 0) {
            out.append(bytes.substr(0, static_cast<std::size_t>(n)));
        } else {
            out += "\xEF\xBF\xBD";
        }
        bytes.remove_prefix(static_cast<std::size_t>(n > 0 ? n : -n));
    }
    return out;
}

}  // namespace audio_faust::utf8
