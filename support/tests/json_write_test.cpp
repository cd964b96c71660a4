#include "support/json_write.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/debug.hpp"
#include "support/json.hpp"

namespace {

namespace json = support::json;

std::string str(std::string_view s) {
    std::string out;
    json::append_string(out, s);
    return out;
}

TEST(JsonWriteString, EscapesExactlyQuoteBackslashAndControlsAndReadsBack) {
    // Short escapes where JSON has them, \u00xx for the other controls; delete, C1 controls
    // and other UTF-8 pass unchanged.
    EXPECT_EQ(str(std::string("\0\x01\b\t\n\f\r\x1f\"\\/", 11)),
              R"("\u0000\u0001\b\t\n\f\r\u001f\"\\/")");
    EXPECT_EQ(str("\x7f\xc2\x85 caf\xc3\xa9 \xf0\x9f\x8e\xb9"),
              "\"\x7f\xc2\x85 caf\xc3\xa9 \xf0\x9f\x8e\xb9\"");
    std::string out = "[";
    json::append_key(out, "k\n");
    EXPECT_EQ(out, R"(["k\n":)");
    // And everything reads back through the parser.
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

// The debug form's texts: short escapes, \u{..} for other controls, C1 controls included.
TEST(DebugQuoted, EscapesControlCharactersOfBothRanges) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"a\"b\\c", R"("a\"b\\c")"},
        {"x\ny\r\tz", R"("x\ny\r\tz")"},
        {std::string_view("\0\x01\x1b\x7f'", 5), R"("\u{0}\u{1}\u{1b}\u{7f}'")"},
        {"\xc2\x85\xc2\xa0\xc3\xa9", "\"\\u{85}\xc2\xa0\xc3\xa9\""},
    };
    for (const auto& [text, quoted] : cases) {
        std::string out = ">";
        support::debug::append_quoted(out, text);
        EXPECT_EQ(out, ">" + std::string(quoted));
    }
}

}  // namespace
