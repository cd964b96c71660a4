#include "support/json_write.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
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

TEST(JsonWriteString, PlainTextIsQuoted) {
    EXPECT_EQ(str(""), "\"\"");
    EXPECT_EQ(str("osc 1"), "\"osc 1\"");
}

TEST(JsonWriteString, QuoteAndBackslashAreEscaped) {
    EXPECT_EQ(str("a\"b"), R"("a\"b")");
    EXPECT_EQ(str("a\\b"), R"("a\\b")");
    EXPECT_EQ(str("\\\""), R"("\\\"")");
    EXPECT_EQ(str("/"), "\"/\"");  // solidus needs no escape
}

TEST(JsonWriteString, EveryControlCharacterIsEscaped) {
    const std::map<int, std::string> short_forms = {
        {'\b', "\\b"}, {'\t', "\\t"}, {'\n', "\\n"}, {'\f', "\\f"}, {'\r', "\\r"}};
    static constexpr char hex[] = "0123456789abcdef";
    for (int c = 0; c < 0x20; ++c) {
        std::string expected;
        if (auto it = short_forms.find(c); it != short_forms.end()) {
            expected = it->second;
        } else {
            expected = std::string("\\u00") + hex[c >> 4] + hex[c & 0xf];
        }
        EXPECT_EQ(str(std::string(1, static_cast<char>(c))), "\"" + expected + "\"") << c;
    }
    EXPECT_EQ(str(std::string("a\0b", 3)), R"("a\u0000b")");
    EXPECT_EQ(str("\x1f"), R"("\u001f")");
}

TEST(JsonWriteString, DeleteAndNonAsciiPassUnchanged) {
    EXPECT_EQ(str("\x7f"), "\"\x7f\"");
    EXPECT_EQ(str("caf\xc3\xa9 \xe2\x99\xab \xf0\x9f\x8e\xb9"),
              "\"caf\xc3\xa9 \xe2\x99\xab \xf0\x9f\x8e\xb9\"");
    EXPECT_EQ(str("\xc2\x85"), "\"\xc2\x85\"");  // C1 controls need no escape in JSON
}

TEST(JsonWriteString, AppendsToExistingText) {
    std::string out = "[";
    json::append_string(out, "a");
    out += ',';
    json::append_key(out, "k\n");
    EXPECT_EQ(out, R"(["a","k\n":)");
}

TEST(JsonWriteString, RoundTripsThroughTheParser) {
    std::string all;
    for (int c = 1; c < 0x80; ++c)
        all += static_cast<char>(c);
    all += std::string("\0", 1);
    all += "\xc3\xa9\xe2\x99\xab\xf0\x9f\x8e\xb9\xc2\x80";
    json::Parser parser;
    for (const std::string& s : {all, std::string(), std::string("\"\\\"\\")}) {
        const std::string text = str(s);
        auto root = parser.parse(text);
        ASSERT_TRUE(root.has_value()) << text;
        std::string back;
        ASSERT_TRUE(json::read_string(*root, back).has_value());
        EXPECT_EQ(back, s);
    }
}

TEST(JsonWriteNumber, ShortestFormWithPointAndNullForNonFinite) {
    std::string out;
    json::append_number(out, 440.0f);
    out += ',';
    json::append_number(out, 0.1f);
    out += ',';
    json::append_number(out, std::numeric_limits<float>::quiet_NaN());
    out += ',';
    json::append_number(out, -std::numeric_limits<float>::infinity());
    out += ',';
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

TEST(JsonWriteSequence, ObjectReadsBack) {
    const std::map<std::string, float> controls = {{"a\"", 1.0f}, {"b", 0.25f}};
    std::string out;
    json::append_sequence(
        out, '{', controls,
        [](std::string& o, const auto& kv) {
            json::append_key(o, kv.first);
            json::append_number(o, kv.second);
        },
        '}');
    EXPECT_EQ(out, R"({"a\"":1.0,"b":0.25})");
    json::Parser parser;
    auto back = json::read_text<std::map<std::string, float>>(parser, out);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, controls);
}

}  // namespace
