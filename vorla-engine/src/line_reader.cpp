#include "line_reader.hpp"

#include <cstring>

namespace vorla_engine::ipc {

Utf8Decoder::Step Utf8Decoder::feed(unsigned char b) {
    if (needed_ == 0) {
        lo_ = 0x80;
        hi_ = 0xBF;
        if (b < 0x80) {
            code_point_ = b;
            return Step::CodePoint;
        }
        if (b >= 0xC2 && b <= 0xDF) {
            needed_ = 1;
            code_point_ = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            needed_ = 2;
            code_point_ = b & 0x0Fu;
            if (b == 0xE0) lo_ = 0xA0;  // overlong
            if (b == 0xED) hi_ = 0x9F;  // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            needed_ = 3;
            code_point_ = b & 0x07u;
            if (b == 0xF0) lo_ = 0x90;  // overlong
            if (b == 0xF4) hi_ = 0x8F;  // past U+10FFFF
        } else {
            return Step::Invalid;
        }
        return Step::Partial;
    }
    if (b < lo_ || b > hi_) return Step::Invalid;
    lo_ = 0x80;
    hi_ = 0xBF;
    code_point_ = (code_point_ << 6) | (b & 0x3Fu);
    return --needed_ == 0 ? Step::CodePoint : Step::Partial;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::optional<std::string_view> trim_utf8(std::string_view text) {
    Utf8Decoder decoder;
    std::size_t first = text.size(), last = 0, start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto step = decoder.feed(static_cast<unsigned char>(text[i]));
        if (step == Utf8Decoder::Step::Invalid) return std::nullopt;
        if (step == Utf8Decoder::Step::Partial) continue;
        if (!is_white_space(decoder.code_point())) {
            if (first == text.size()) first = start;
            last = i + 1;
        }
        start = i + 1;
    }
    if (!decoder.complete()) return std::nullopt;
    return first < last ? text.substr(first, last - first) : std::string_view();
}

LineReader::LineReader(std::size_t max_bytes) : max_bytes_(max_bytes) {
    line_.reserve(1024);
}

void LineReader::reset() {
    begin_ = end_ = 0;
    clear();
}

void LineReader::clear() {
    line_.clear();
    length_ = 0;
    blank_ = true;
    finished_ = false;
    last_ = 0;
    decoder_ = {};
}

bool LineReader::take(std::string_view bytes) {
    if (bytes.empty()) return true;
    for (const char c : bytes) {
        const auto step = decoder_.feed(static_cast<unsigned char>(c));
        if (step == Utf8Decoder::Step::Invalid) return false;
        if (step == Utf8Decoder::Step::CodePoint && blank_)
            blank_ = is_white_space(decoder_.code_point());
    }
    // Keep one byte past the limit, so that a line of exactly the limit keeps a "\r" ending.
    const std::size_t room = max_bytes_ + 1 - std::min(line_.size(), max_bytes_ + 1);
    line_.append(bytes.substr(0, std::min(room, bytes.size())));
    length_ += bytes.size();
    last_ = bytes.back();
    return true;
}

LineReader::Next LineReader::finish(bool newline) {
    if (!decoder_.complete()) return Next::Failed;
    if (newline && last_ == '\r') {
        --length_;
        if (line_.size() > length_) line_.pop_back();
    }
    finished_ = true;
    return Next::Line;
}

LineReader::Next LineReader::next(const platform::Fd& fd) {
    if (finished_) clear();
    for (;;) {
        if (begin_ == end_) {
            auto n = platform::read_some(fd, buffer_);
            if (!n)
                return n.error() == platform::ReadFail::TimedOut ? Next::TimedOut : Next::Failed;
            if (*n == 0) return length_ > 0 ? finish(false) : Next::End;
            begin_ = 0;
            end_ = *n;
        }
        const char* from = buffer_.data() + begin_;
        const auto* newline = static_cast<const char*>(std::memchr(from, '\n', end_ - begin_));
        const std::size_t stop =
            newline ? static_cast<std::size_t>(newline - buffer_.data()) : end_;
        const bool ok = take({from, stop - begin_});
        begin_ = newline ? stop + 1 : end_;
        if (!ok) return Next::Failed;
        if (newline) return finish(true);
    }
}

}  // namespace vorla_engine::ipc
