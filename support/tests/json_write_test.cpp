#include "support/json_write.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/json.hpp"

namespace {

namespace json = support::json;

std::string str(std::string_view s) {
    std::string out;
    json::append_string(out, s);
    return out;
}

TEST(JsonWriteString, EscapesExactlyQuoteBackslashAndControlCharacters) {
    static constexpr char hex[] = "0123456789abcdef";
    for (int c = 0; c < 0x20; ++c) {
        std::string expected = std::string("\\u00") + hex[c >> 4] + hex[c & 0xf];
        if (c == '\b') expected = "\\b";
        if (c == '\t') expected = "\\t";
        if (c == '\n') expected = "\\n";
        if (c == '\f') expected = "\\f";
        if (c == '\r') expected = "\\r";
        EXPECT_EQ(str(std::string(1, static_cast<char>(c))), "\"" + expected + "\"") << c;
    }
    EXPECT_EQ(str("a\"b\\c/"), R"("a\"b\\c/")");
    // Delete, C1 controls and other UTF-8 pass unchanged.
    EXPECT_EQ(str("\x7f\xc2\x85 caf\xc3\xa9 \xf0\x9f\x8e\xb9"),
              "\"\x7f\xc2\x85 caf\xc3\xa9 \xf0\x9f\x8e\xb9\"");
    std::string out = "[";
    json::append_key(out, "k\n");
    EXPECT_EQ(out, R"(["k\n":)");
}

TEST(JsonWriteString, RoundTripsThroughTheParser) {
    std::string all;
    for (int c = 0; c < 0x80; ++c)
        all += static_cast<char>(c);
    all += "\xc3\xa9\xe2\x99\xab\xf0\x9f\x8e\xb9\xc2\x80";
    json::Parser parser;
    for (const std::string& s : {all, std::string(), std::string("\"\\\"\\")}) {
        auto back = json::read_text<std::string>(parser, str(s));
        ASSERT_TRUE(back.has_value()) << str(s);
        EXPECT_EQ(*back, s);
    }
}

TEST(JsonWriteNumber, ShortestFormWithPointAndNullForNonFinite) {
    std::string out;
    for (float f : {440.0f, 0.1f, NAN, -INFINITY}) {
        json::append_number(out, f);
        out += ',';
    }
    json::append_number(out, 0.5);
    EXPECT_EQ(out, "440.0,0.1,null,null,0.5");
}

TEST(JsonWriteSequence, EmptyAndFilled) {
    const std::vector<int> none;
    const std::vector<int> some = {1, 2, 3};
    auto write = [](std::string& out, int v) { out += std::to_string(v); };
    std::string out;
    json::append_sequence(out, '[', none, write, ']');
    json::append_sequence(out, '{', none, write, '}');
    json::append_sequence(out, '[', some, write, ']');
    EXPECT_EQ(out, "[]{}[1,2,3]");
}

}  // namespace
