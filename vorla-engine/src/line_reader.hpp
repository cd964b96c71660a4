// Reads request lines from a client connection (IPC thread only).
//
// A line ends at "\n"; a "\r" just before it is not part of the line; a final line without
// "\n" counts when the peer closes. The bytes are checked as UTF-8 while they arrive. A line
// longer than the limit is still read to its end and measured, but only the first bytes are
// kept, so a client cannot make the server hold more than about the limit. Bytes of a line
// that has not ended when a read times out stay and count toward that line.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "vorla_engine/platform/unix_socket.hpp"

namespace vorla_engine::ipc {

// Incremental UTF-8 check: rejects overlong forms, surrogates and code points past U+10FFFF.
class Utf8Decoder {
public:
    enum class Step { Partial, CodePoint, Invalid };
    Step feed(unsigned char byte);
    char32_t code_point() const { return code_point_; }
    bool complete() const { return needed_ == 0; }

private:
    char32_t code_point_ = 0;
    int needed_ = 0;
    unsigned char lo_ = 0x80, hi_ = 0xBF;
};

bool is_white_space(char32_t c);

// `text` without leading and trailing white space (Unicode White_Space); none when `text` is
// not UTF-8.
std::optional<std::string_view> trim_utf8(std::string_view text);

class LineReader {
public:
    enum class Next {
        Line,      // line(), length() and blank() describe it
        End,       // the peer closed and nothing is pending
        TimedOut,  // nothing complete within the socket's read time-out
        Failed,    // read error or bytes that are not UTF-8
    };

    explicit LineReader(std::size_t max_bytes);

    // Drops whatever is buffered (a new connection).
    void reset();
    Next next(const platform::Fd& fd);

    // The line without its ending; when length() exceeds the limit only a prefix is kept.
    std::string_view line() const { return line_; }
    std::size_t length() const { return length_; }
    bool blank() const { return blank_; }

private:
    bool take(std::string_view bytes);  // false on bytes that are not UTF-8
    void clear();
    Next finish(bool newline);

    std::size_t max_bytes_;
    std::array<char, 8192> buffer_{};
    std::size_t begin_ = 0, end_ = 0;
    std::string line_;
    std::size_t length_ = 0;
    bool blank_ = true;
    bool finished_ = false;
    char last_ = 0;
    Utf8Decoder decoder_;
};

}  // namespace vorla_engine::ipc
