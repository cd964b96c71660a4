#include "support/json.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <random>
#include <string>

namespace {

namespace json = support::json;
using json::ErrorKind;

// A record with one field of each presence, as the protocols declare them.
struct Sample {
    std::string id;
    std::uint8_t level = 0;
    std::map<std::string, float> controls;  // defaulted
    std::optional<std::string> unit;        // optional
    bool operator==(const Sample&) const = default;
};

json::Status read_json(json::Element e, Sample& out) {
    return json::read_record(
        e, "struct Sample",
        {json::required("id", out.id), json::required("level", out.level),
         json::defaulted("controls", out.controls), json::optional("unit", out.unit)});
}

// An internally tagged union: a unit kind and two record kinds.
struct Shape {
    std::size_t kind = 0;
    double size = 0;
    std::uint32_t count = 0;
};

constexpr std::array<std::string_view, 3> shape_kinds = {"Dot", "Circle", "Grid"};

json::Status read_json(json::Element e, Shape& out) {
    auto tagged = json::read_internal_tag(e, "kind", shape_kinds, json::TagIndex::Allowed,
                                          "internally tagged enum Shape");
    if (!tagged) return std::unexpected(tagged.error());
    out.kind = tagged->index;
    switch (tagged->index) {
        case 0:
            return json::read_fields(tagged->content, "unit variant Shape::Dot", {});
        case 1:
            return json::read_fields(tagged->content, "struct variant Shape::Circle",
                                     {json::required("size", out.size)});
        default:
            return json::read_fields(
                tagged->content, "struct variant Shape::Grid",
                {json::required("size", out.size), json::required("count", out.count)});
    }
}

template <class T>
json::Result<T> read_text(std::string_view text) {
    json::Parser parser;
    return json::read_text<T>(parser, text);
}

template <class T>
ErrorKind failure_of(std::string_view text) {
    auto r = read_text<T>(text);
    EXPECT_FALSE(r.has_value()) << text;
    return r ? ErrorKind::Syntax : r.error().kind;
}

std::string nested_arrays(int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
}

// `levels` nested containers, opened by `open`, the innermost being `inner`.
std::string nested(int levels, std::string_view open, std::string_view inner) {
    std::string text;
    for (int i = 1; i < levels; ++i)
        text += open;
    text += inner;
    text += std::string(static_cast<std::size_t>(levels - 1), open[0] == '[' ? ']' : '}');
    return text;
}

TEST(JsonParser, NestingOf128LevelsReadsAnd129Fails) {
    json::Parser parser;
    for (std::string_view open : {"[", "{\"a\":"}) {
        // Empty and non-empty innermost containers count alike.
        for (std::string_view inner : {"[]", "{}", "[1]", "{\"b\":1}"}) {
            EXPECT_TRUE(parser.parse(nested(128, open, inner)).has_value()) << open << inner;
            auto deep = parser.parse(nested(129, open, inner));
            ASSERT_FALSE(deep.has_value()) << open << inner;
            EXPECT_EQ(deep.error().kind, ErrorKind::Depth);
        }
    }
}

TEST(JsonParser, DepthLimitSurvivesGrowingTheParser) {
    json::Parser parser;
    ASSERT_TRUE(parser.parse("1").has_value());
    // Far beyond the first capacity, so the parser must grow.
    std::string big = "[" + std::string(200000, ' ') + nested_arrays(129) + "]";
    EXPECT_EQ(parser.parse(big).error().kind, ErrorKind::Depth);
    std::string ok = "[" + std::string(200000, ' ') + nested_arrays(127) + "]";
    EXPECT_TRUE(parser.parse(ok).has_value());
}

TEST(JsonParser, InvalidUtf8Fails) {
    json::Parser parser;
    EXPECT_EQ(parser.parse("\"\xff\"").error().kind, ErrorKind::Utf8);
    EXPECT_EQ(parser.parse("{\"a\xc3\":1}").error().kind, ErrorKind::Utf8);
    EXPECT_FALSE(parser.parse("\"\\ud800\"").has_value());  // lone surrogate escape
    EXPECT_TRUE(parser.parse("\"h\xc3\xa9llo\"").has_value());
}

TEST(JsonParser, MalformedTextIsACleanFailure) {
    json::Parser parser;
    for (std::string_view text : {"", " ", "{", "[1,", "{\"a\" 1}", "nul", "1 2", "{\"a\":}",
                                  "18446744073709551616", "1E400", "[1,]", "\"abc"}) {
        EXPECT_FALSE(parser.parse(text).has_value()) << text;
    }
}

TEST(JsonParser, ElementOfOneParseOutlivesUnrelatedBuffers) {
    json::Parser parser;
    std::string text = R"({"id":"a","level":1})";
    auto root = parser.parse(text);
    text.assign(text.size(), 'x');  // the parser keeps its own copy
    ASSERT_TRUE(root.has_value());
    auto s = json::read_as<Sample>(*root);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->id, "a");
}

TEST(JsonRecord, KeyedFormWithDefaultsAndUnknownKeys) {
    auto s = read_text<Sample>(R"({"x":[1,{"y":2}],"level":7,"id":"n","x":null})");
    ASSERT_TRUE(s.has_value()) << s.error().text;
    EXPECT_EQ(s->id, "n");
    EXPECT_EQ(s->level, 7);
    EXPECT_TRUE(s->controls.empty());
    EXPECT_FALSE(s->unit.has_value());
}

TEST(JsonRecord, FieldGivenTwiceFailsEvenWithEqualValues) {
    auto r = read_text<Sample>(R"({"id":"a","level":1,"id":"a"})");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::DuplicateField);
    EXPECT_EQ(r.error().text, "duplicate field `id`");
    EXPECT_EQ(failure_of<Sample>(R"({"id":"a","level":1,"controls":{},"controls":{}})"),
              ErrorKind::DuplicateField);
}

TEST(JsonRecord, MissingRequiredFieldNamesTheFirstInDeclarationOrder) {
    auto r = read_text<Sample>(R"({"unit":"Hz"})");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().text, "missing field `id`");
    EXPECT_EQ(read_text<Sample>(R"({"id":"a"})").error().text, "missing field `level`");
}

TEST(JsonRecord, OptionalTakesNullOrValue) {
    EXPECT_EQ(read_text<Sample>(R"({"id":"a","level":1,"unit":null})")->unit, std::nullopt);
    EXPECT_EQ(read_text<Sample>(R"({"id":"a","level":1,"unit":"Hz"})")->unit, "Hz");
    EXPECT_EQ(failure_of<Sample>(R"({"id":"a","level":1,"unit":3})"), ErrorKind::InvalidType);
    // A defaulted field must still have its type when present.
    EXPECT_EQ(failure_of<Sample>(R"({"id":"a","level":1,"controls":null})"),
              ErrorKind::InvalidType);
}

TEST(JsonRecord, PositionalForm) {
    auto s = read_text<Sample>(R"(["a", 3, {"g": 1}, "Hz"])");
    ASSERT_TRUE(s.has_value()) << s.error().text;
    EXPECT_EQ(s->id, "a");
    EXPECT_EQ(s->level, 3);
    EXPECT_EQ(s->controls.at("g"), 1.0f);
    EXPECT_EQ(s->unit, "Hz");

    // The optional field may not be left off in this form; null is fine.
    EXPECT_TRUE(read_text<Sample>(R"(["a", 3, {}, null])").has_value());
    auto short_form = read_text<Sample>(R"(["a", 3, {}])");
    ASSERT_FALSE(short_form.has_value());
    EXPECT_EQ(short_form.error().text, "invalid length 3, expected struct Sample with 4 elements");
    EXPECT_EQ(read_text<Sample>(R"(["a"])").error().text,
              "invalid length 1, expected struct Sample with 4 elements");
    auto long_form = read_text<Sample>(R"(["a", 3, {}, null, 5])");
    ASSERT_FALSE(long_form.has_value());
    EXPECT_EQ(long_form.error().text, "invalid length 5, expected 4 elements in sequence");
}

TEST(JsonRecord, OtherJsonValuesAreNotRecords) {
    for (std::string_view text : {"1", "\"a\"", "null", "true", "1.5"}) {
        EXPECT_EQ(failure_of<Sample>(text), ErrorKind::InvalidType) << text;
    }
}

TEST(JsonMap, RepeatedKeyKeepsTheLastValue) {
    auto s = read_text<Sample>(R"({"id":"a","level":1,"controls":{"f":1,"f":2.5}})");
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->controls.size(), 1u);
    EXPECT_EQ(s->controls.at("f"), 2.5f);
    EXPECT_EQ(failure_of<Sample>(R"({"id":"a","level":1,"controls":{"f":"1"}})"),
              ErrorKind::InvalidType);
}

TEST(JsonUnsigned, NarrowedByRange) {
    using U8 = std::uint8_t;
    EXPECT_EQ(*read_text<U8>("0"), 0);
    EXPECT_EQ(*read_text<U8>("255"), 255);
    EXPECT_EQ(failure_of<U8>("256"), ErrorKind::InvalidValue);
    EXPECT_EQ(failure_of<U8>("-1"), ErrorKind::InvalidValue);
    EXPECT_EQ(failure_of<U8>("8.0"), ErrorKind::InvalidType);
    EXPECT_EQ(failure_of<U8>("1e2"), ErrorKind::InvalidType);
    EXPECT_EQ(failure_of<U8>("0.5"), ErrorKind::InvalidType);
    EXPECT_EQ(failure_of<U8>("\"1\""), ErrorKind::InvalidType);
    EXPECT_EQ(failure_of<U8>("true"), ErrorKind::InvalidType);
    EXPECT_EQ(failure_of<U8>("null"), ErrorKind::InvalidType);

    EXPECT_EQ(*read_text<std::uint16_t>("65535"), 65535);
    EXPECT_EQ(failure_of<std::uint16_t>("65536"), ErrorKind::InvalidValue);
    EXPECT_EQ(*read_text<std::uint32_t>("4294967295"), 4294967295u);
    EXPECT_EQ(failure_of<std::uint32_t>("4294967296"), ErrorKind::InvalidValue);
    EXPECT_EQ(*read_text<std::uint64_t>("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(*read_text<std::uint64_t>("9223372036854775808"), 9223372036854775808u);
    EXPECT_EQ(failure_of<std::uint64_t>("-1"), ErrorKind::InvalidValue);
    EXPECT_FALSE(read_text<std::uint64_t>("18446744073709551616").has_value());
}

TEST(JsonSigned, NarrowedByRange) {
    EXPECT_EQ(*read_text<std::int32_t>("-2147483648"), INT32_MIN);
    EXPECT_EQ(*read_text<std::int32_t>("2147483647"), INT32_MAX);
    EXPECT_EQ(failure_of<std::int32_t>("2147483648"), ErrorKind::InvalidValue);
    EXPECT_EQ(failure_of<std::int32_t>("-2147483649"), ErrorKind::InvalidValue);
    EXPECT_EQ(*read_text<std::int64_t>("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(*read_text<std::int64_t>("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(failure_of<std::int64_t>("9223372036854775808"), ErrorKind::InvalidValue);
    EXPECT_EQ(failure_of<std::int64_t>("1.5"), ErrorKind::InvalidType);
    EXPECT_EQ(failure_of<std::int64_t>("-2.0"), ErrorKind::InvalidType);
}

TEST(JsonFloat, AnyNumberReadsAndF32RoundsToNearest) {
    EXPECT_EQ(*read_text<double>("1"), 1.0);
    EXPECT_EQ(*read_text<double>("-3"), -3.0);
    EXPECT_EQ(*read_text<double>("18446744073709551615"), 18446744073709551615.0);
    EXPECT_EQ(*read_text<double>("0.1"), 0.1);
    EXPECT_TRUE(std::signbit(*read_text<double>("-0.0")));
    EXPECT_EQ(*read_text<float>("0.1"), 0.1f);
    EXPECT_EQ(*read_text<float>("1"), 1.0f);
    // 2^24 + 1 is not a float: the nearest (ties to even) is 2^24.
    EXPECT_EQ(*read_text<float>("16777217"), 16777216.0f);
    EXPECT_EQ(*read_text<float>("1e39"), INFINITY);
    EXPECT_EQ(*read_text<float>("-1e300"), -INFINITY);
    // Just below halfway to 2^128 still rounds to the largest float.
    EXPECT_EQ(*read_text<float>("3.4028235e38"), 3.4028235e38f);
    EXPECT_EQ(failure_of<float>("\"1\""), ErrorKind::InvalidType);
    EXPECT_EQ(failure_of<double>("null"), ErrorKind::InvalidType);
    EXPECT_EQ(failure_of<double>("[1]"), ErrorKind::InvalidType);
}

TEST(JsonTuple, ExactlyTwoValues) {
    using Pair = std::pair<std::string, std::string>;
    EXPECT_EQ(*read_text<Pair>(R"(["a","b"])"), Pair("a", "b"));
    EXPECT_EQ(read_text<Pair>(R"(["a"])").error().text,
              "invalid length 1, expected a tuple of size 2");
    EXPECT_EQ(read_text<Pair>(R"(["a","b","c"])").error().text,
              "invalid length 3, expected 2 elements in sequence");
    EXPECT_EQ(failure_of<Pair>(R"({"0":"a","1":"b"})"), ErrorKind::InvalidType);
    EXPECT_EQ(failure_of<Pair>(R"(["a",1])"), ErrorKind::InvalidType);
}

TEST(JsonInternalTag, TagByNameOrIndexAnywhereInTheObject) {
    auto grid = read_text<Shape>(R"({"size":2,"count":3,"kind":"Grid"})");
    ASSERT_TRUE(grid.has_value());
    EXPECT_EQ(grid->kind, 2u);
    EXPECT_EQ(grid->count, 3u);
    auto by_index = read_text<Shape>(R"({"kind":1,"size":2})");
    ASSERT_TRUE(by_index.has_value());
    EXPECT_EQ(by_index->kind, 1u);
    EXPECT_EQ(failure_of<Shape>(R"({"kind":3})"), ErrorKind::InvalidValue);
    EXPECT_EQ(failure_of<Shape>(R"({"kind":-1})"), ErrorKind::InvalidType);
    EXPECT_EQ(failure_of<Shape>(R"({"kind":1.0,"size":2})"), ErrorKind::InvalidType);
    EXPECT_EQ(failure_of<Shape>(R"({"kind":"circle","size":2})"), ErrorKind::UnknownVariant);
    EXPECT_EQ(failure_of<Shape>(R"({"size":2})"), ErrorKind::MissingField);
    EXPECT_EQ(failure_of<Shape>(R"({"kind":"Dot","kind":"Dot"})"), ErrorKind::DuplicateField);
    EXPECT_EQ(failure_of<Shape>(R"("Dot")"), ErrorKind::InvalidType);
}

TEST(JsonInternalTag, IndexRefusedWhereNotAllowed) {
    json::Parser parser;
    auto root = parser.parse(R"({"kind":1})");
    ASSERT_TRUE(root.has_value());
    auto r = json::read_internal_tag(*root, "kind", shape_kinds, json::TagIndex::Refused, "Shape");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidType);
}

TEST(JsonInternalTag, UnitKindIgnoresOtherKeysButNotSurplusValues) {
    EXPECT_TRUE(read_text<Shape>(R"({"kind":"Dot","size":"x","size":1})").has_value());
    EXPECT_TRUE(read_text<Shape>(R"(["Dot"])").has_value());
    EXPECT_EQ(failure_of<Shape>(R"(["Dot", 1])"), ErrorKind::InvalidLength);
}

TEST(JsonInternalTag, ArrayFormTagFirst) {
    auto circle = read_text<Shape>(R"(["Circle", 4.5])");
    ASSERT_TRUE(circle.has_value());
    EXPECT_EQ(circle->size, 4.5);
    EXPECT_TRUE(read_text<Shape>(R"([2, 1, 2])").has_value());
    EXPECT_EQ(failure_of<Shape>(R"(["Circle"])"), ErrorKind::InvalidLength);
    EXPECT_EQ(failure_of<Shape>(R"(["Circle", 1, 2])"), ErrorKind::InvalidLength);
    EXPECT_EQ(failure_of<Shape>(R"([])"), ErrorKind::InvalidLength);
    EXPECT_EQ(failure_of<Shape>(R"(["Grid", 1, -2])"), ErrorKind::InvalidValue);
}

constexpr std::array<std::string_view, 2> layouts = {"mono", "stereo"};

json::Result<std::size_t> read_layout(std::string_view text) {
    json::Parser parser;
    auto root = parser.parse(text);
    if (!root) return std::unexpected(root.error());
    return json::read_unit_variant(*root, layouts, "string or map");
}

TEST(JsonUnitVariant, NameOrSingleKeyObject) {
    EXPECT_EQ(*read_layout(R"("stereo")"), 1u);
    EXPECT_EQ(*read_layout(R"({"stereo":null})"), 1u);
    EXPECT_EQ(*read_layout(R"({"mono":{}})"), 0u);
    EXPECT_EQ(read_layout(R"("Mono")").error().kind, ErrorKind::UnknownVariant);
    EXPECT_EQ(read_layout(R"("Mono")").error().text,
              "unknown variant `Mono`, expected `mono` or `stereo`");
    EXPECT_EQ(read_layout(R"({"mono":1})").error().kind, ErrorKind::InvalidType);
    EXPECT_EQ(read_layout(R"({"mono":{"a":1}})").error().kind, ErrorKind::InvalidType);
    EXPECT_EQ(read_layout(R"({})").error().kind, ErrorKind::InvalidValue);
    EXPECT_EQ(read_layout(R"({"mono":null,"stereo":null})").error().kind, ErrorKind::InvalidValue);
    EXPECT_EQ(read_layout("1").error().kind, ErrorKind::InvalidType);
    EXPECT_EQ(read_layout("[\"mono\"]").error().kind, ErrorKind::InvalidType);
}

// Mutated texts (bytes flipped, dropped, duplicated) must only ever read or fail cleanly; the
// sanitizer build turns any memory fault into a test failure.
TEST(JsonRobustness, MutatedInputsReadOrFailCleanly) {
    const std::string seeds[] = {
        R"({"id":"a","level":1,"controls":{"f":1.5},"unit":null})",
        R"(["a", 3, {"g": 1}, "Hz"])",
        R"({"kind":"Grid","size":2,"count":3})",
        R"([[[[{"a":[1,2,{"b":"\u00e9"}]}]]]])",
    };
    std::mt19937 rng(1234);
    json::Parser parser;
    int read_ok = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = seeds[static_cast<std::size_t>(round) % std::size(seeds)];
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            std::size_t at = rng() % text.size();
            switch (rng() % 4) {
                case 0:
                    text[at] = static_cast<char>(rng() % 256);
                    break;
                case 1:
                    text.erase(at, 1);
                    break;
                case 2:
                    text.insert(at, 1, text[rng() % text.size()]);
                    break;
                default:
                    text.insert(at, text.substr(at, rng() % 8));
                    break;
            }
        }
        auto root = parser.parse(text);
        if (!root) continue;
        if (json::read_as<Sample>(*root)) ++read_ok;
        (void)json::read_as<Shape>(*root);
    }
    EXPECT_GT(read_ok, 0);
}

}  // namespace
