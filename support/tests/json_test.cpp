// The reading rules of every record, tested once here on sample records declared like the
// protocols' own; the writer and debug form that follow from the same declarations.
#include "support/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <variant>

#include "support/record.hpp"

namespace json_sample {

namespace json = support::json;
namespace record = support::record;

// A record with a field of each presence.
struct Sample {
    std::string id;
    std::uint8_t level = 0;
    std::map<std::string, float> controls;  // defaulted
    std::optional<std::string> unit;        // optional
    bool operator==(const Sample&) const = default;
};

constexpr auto record_of(record::Type<Sample>) {
    using namespace record;
    return fields<Sample>("Sample", field("id", &Sample::id), field("level", &Sample::level),
                          defaulted("controls", &Sample::controls),
                          optional("unit", &Sample::unit));
}

json::Status read_json(json::Element e, Sample& out) {
    return record::read_fresh(e, out);
}

// A tagged union: a unit kind, a record kind and an embedded record.
struct Dot {
    bool operator==(const Dot&) const = default;
};
struct Grid {
    double size = 0;
    std::uint32_t count = 0;
    std::pair<float, float> range;
    bool operator==(const Grid&) const = default;
};
struct Boxed {
    Sample sample;
    bool operator==(const Boxed&) const = default;
};
struct Shape : std::variant<Dot, Grid, Boxed> {
    using variant::variant;
};

constexpr auto record_of(record::Type<Dot>) {
    return record::fields<Dot>("Dot");
}
constexpr auto record_of(record::Type<Grid>) {
    using namespace record;
    return fields<Grid>("Grid", field("size", &Grid::size), field("count", &Grid::count),
                        defaulted("range", &Grid::range));
}
constexpr auto record_of(record::Type<Boxed>) {
    return record::embedded("Boxed", &Boxed::sample);
}
constexpr auto record_of(record::Type<Shape>) {
    return record::tagged<Shape>("Shape", "kind", json::TagIndex::Allowed,
                                 {"dot", "grid", "boxed"});
}

json::Status read_json(json::Element e, Shape& out) {
    return record::read_value(e, out);
}

enum class Layout { Mono, Stereo };
constexpr auto record_of(record::Type<Layout>) {
    return record::names<Layout>("Layout", {"mono", "stereo"}, {"Mono", "Stereo"});
}
json::Status read_json(json::Element e, Layout& out) {
    return record::read_value(e, out);
}

struct Arg : std::variant<double, std::int32_t, std::string> {
    using variant::variant;
};
constexpr auto record_of(record::Type<Arg>) {
    return record::external<Arg>("Arg", {"Float", "Int", "Str"});
}
json::Status read_json(json::Element e, Arg& out) {
    return record::read_value(e, out);
}

}  // namespace json_sample

namespace {

namespace json = support::json;
namespace record = support::record;
using json::ErrorKind;
using namespace json_sample;

template <class T>
json::Result<T> read_text(std::string_view text) {
    json::Parser parser;
    return json::read_text<T>(parser, text);
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

struct ParseCase {
    std::string text;
    std::optional<ErrorKind> failure;  // none: parses
};

TEST(JsonParser, WhatParsesAndWhatFails) {
    std::vector<ParseCase> cases = {
        {"{\"a\xc3\":1}", ErrorKind::Utf8},
        {"\"\\ud800\"", ErrorKind::Syntax},  // lone surrogate escape
        {"1E400", ErrorKind::Syntax},
        {std::string(400, '9'), ErrorKind::Syntax},  // beyond the double range
        {"[01]", ErrorKind::Syntax},
        {"[-012345678901234567890123]", ErrorKind::Syntax},
        {"[123456789012345678901234x]", ErrorKind::Syntax},
    };
    for (std::string_view text :
         {"", " ", "{", "[1,", "{\"a\" 1}", "nul", "1 2", "{\"a\":}", "[1,]", "\"abc"}) {
        cases.push_back({std::string(text), ErrorKind::Syntax});
    }
    // 128 levels parse and 129 fail, empty innermost containers counting alike.
    for (std::string_view open : {"[", "{\"a\":"}) {
        for (std::string_view inner : {"[]", "{}", "[1]", "{\"b\":1}", "[1e30]"}) {
            cases.push_back({nested(128, open, inner), {}});
            cases.push_back({nested(129, open, inner), ErrorKind::Depth});
        }
    }
    cases.push_back({nested(129, "[", "[18446744073709551616]"), ErrorKind::Depth});
    // Far beyond the first capacity, so the parser must grow and keep its depth limit.
    const std::string pad(200000, ' ');
    cases.push_back({"[" + pad + nested(129, "[", "[]") + "]", ErrorKind::Depth});
    cases.push_back({"[" + pad + nested(127, "[", "[]") + "]", {}});
    json::Parser parser;
    for (const auto& c : cases) {
        auto root = parser.parse(c.text);
        EXPECT_EQ(root.has_value(), !c.failure) << c.text.substr(0, 60);
        if (!root && c.failure) {
            EXPECT_EQ(root.error().kind, *c.failure) << c.text.substr(0, 60);
        }
    }
}

// Each number among many keeps its own value when others beside it need fixing up; elements
// outlive the text.
TEST(JsonParser, NumbersKeepTheirPlaceAroundFixedOnes) {
    std::string text =
        R"([1,-0 ,"-0 \"18446744073709551616",2.5,18446744073709551616,-3,{"k":-0,"id":"a",)"
        R"("level":1},-18446744073709551617,18446744073709551615,-0.0,7])";
    json::Parser parser;
    auto root = parser.parse(text);
    ASSERT_TRUE(root.has_value());
    text.assign(text.size(), 'x');  // the parser keeps its own copy
    std::vector<json::Element> items;
    for (auto item : root->elements())
        items.push_back(item.value);
    ASSERT_EQ(items.size(), 11u);
    EXPECT_EQ(items[0].type(), json::Type::Signed);
    EXPECT_EQ(items[0].signed_value(), 1);
    EXPECT_EQ(items[1].type(), json::Type::Float);
    EXPECT_TRUE(std::signbit(items[1].float_value()));
    EXPECT_EQ(items[2].string(), "-0 \"18446744073709551616");
    EXPECT_EQ(items[3].float_value(), 2.5);
    EXPECT_EQ(items[4].type(), json::Type::BigInteger);
    EXPECT_EQ(items[4].float_value(), 18446744073709551616.0);
    EXPECT_EQ(items[5].signed_value(), -3);
    EXPECT_TRUE(std::signbit(items[6].find("k")->float_value()));
    EXPECT_EQ(json::read_as<Sample>(items[6])->id, "a");
    EXPECT_FALSE(items[6].find("y").has_value());
    EXPECT_EQ(items[7].float_value(), -18446744073709551617.0);
    EXPECT_EQ(items[8].type(), json::Type::Unsigned);
    EXPECT_EQ(items[8].unsigned_value(), UINT64_MAX);
    EXPECT_TRUE(std::signbit(items[9].float_value()));
    EXPECT_EQ(items[10].signed_value(), 7);
}

struct ReadCase {
    std::string_view text;
    std::optional<ErrorKind> failure;  // none: reads
    std::string_view message = {};     // checked when given
};

template <class T>
void check_cases(std::initializer_list<ReadCase> cases) {
    for (const auto& c : cases) {
        auto r = read_text<T>(c.text);
        EXPECT_EQ(r.has_value(), !c.failure) << c.text << (r ? "" : ": " + r.error().text);
        if (r || !c.failure) continue;
        EXPECT_EQ(r.error().kind, *c.failure) << c.text << ": " << r.error().text;
        if (!c.message.empty()) {
            EXPECT_EQ(r.error().text, c.message) << c.text;
        }
    }
}

TEST(JsonRecord, ReadingRules) {
    check_cases<Sample>({
        // Unknown keys are skipped with any value, also repeated.
        {R"({"x":[1,{"y":2}],"level":7,"id":"n","x":null})", {}},
        {R"({"id":"a","level":1,"x":18446744073709551616,"y":-0})", {}},
        // Keys are exact: another case or spelling is an unknown key.
        {R"({"ID":"a","id":"b","Level":300,"level":1,"lever":"x"})", {}},
        // A field given twice fails, also with equal values; a defaulted one too.
        {R"({"id":"a","level":1,"id":"a"})", ErrorKind::DuplicateField, "duplicate field `id`"},
        {R"({"id":"a","level":1,"controls":{},"controls":{}})", ErrorKind::DuplicateField,
         "duplicate field `controls`"},
        // The first missing required field in declaration order is named.
        {R"({"unit":"Hz"})", ErrorKind::MissingField, "missing field `id`"},
        {R"({"id":"a"})", ErrorKind::MissingField, "missing field `level`"},
        // Optional: null or a value; defaulted: its type when present (null is not one).
        {R"({"id":"a","level":1,"unit":3})", ErrorKind::InvalidType},
        {R"({"id":"a","level":1,"controls":null})", ErrorKind::InvalidType},
        {R"({"id":"a","level":1,"controls":{"f":"1"}})", ErrorKind::InvalidType},
        // Positional form: the optional may not be left off, the defaulted one may.
        {R"(["a", 3, {"g": 1}, "Hz"])", {}},
        {R"(["a", 3, {}, null])", {}},
        {R"(["a", 3, {}])", ErrorKind::InvalidLength,
         "invalid length 3, expected struct Sample with 4 elements"},
        {R"(["a", 3, {}, null, 5])", ErrorKind::InvalidLength,
         "invalid length 5, expected 4 elements in sequence"},
        {R"([3, "a", {}, null])", ErrorKind::InvalidType},
        // Nothing else is a record.
        {"1", ErrorKind::InvalidType, "invalid type: integer `1`, expected struct Sample"},
        {R"("a")", ErrorKind::InvalidType, R"(invalid type: string "a", expected struct Sample)"},
        {"null", ErrorKind::InvalidType, "invalid type: null, expected struct Sample"},
        {"1.5", ErrorKind::InvalidType,
         "invalid type: floating point `1.5`, expected struct Sample"},
    });
}

TEST(JsonRecord, FailureLeavesTheTargetAsItWas) {
    EXPECT_EQ(*read_text<Sample>(R"({"unit":"Hz","controls":{"f":1,"f":2.5},"level":7,"id":"n"})"),
              (Sample{"n", 7, {{"f", 2.5f}}, "Hz"}));  // a repeated map key keeps the last
    json::Parser parser;
    Sample target{"keep", 9, {{"k", 1.0f}}, "Hz"};
    EXPECT_FALSE(read_json(parser.parse(R"({"id":"new","level":1,"unit":5})").value(), target));
    EXPECT_EQ(target, (Sample{"keep", 9, {{"k", 1.0f}}, "Hz"}));
    // A successful read replaces everything, defaults included.
    ASSERT_TRUE(read_json(parser.parse(R"({"id":"new","level":1})").value(), target));
    EXPECT_EQ(target, (Sample{"new", 1, {}, {}}));
}

template <class T>
void expect_number(std::string_view text, T expected) {
    auto r = read_text<T>(text);
    ASSERT_TRUE(r.has_value()) << text << ": " << r.error().text;
    EXPECT_EQ(*r, expected) << text;
    if constexpr (std::is_floating_point_v<T>) {
        EXPECT_EQ(std::signbit(*r), std::signbit(expected)) << text;
    }
}

// Each width's bounds read; one past them is out of range, whatever the sign or size.
template <class T>
void check_width(T low, T high, std::string_view below, std::string_view above) {
    expect_number<T>(std::to_string(low), low);
    expect_number<T>(std::to_string(high), high);
    check_cases<T>({{below, ErrorKind::InvalidValue}, {above, ErrorKind::InvalidValue}});
}

TEST(JsonNumbers, IntegersNarrowedByRange) {
    check_width<std::uint8_t>(0, 255, "-1", "256");
    check_width<std::uint16_t>(0, 65535, "-18446744073709551616", "65536");
    check_width<std::uint32_t>(0, UINT32_MAX, "-1", "4294967296");
    check_width<std::uint64_t>(0, UINT64_MAX, "-1", "18446744073709551616");
    check_width<std::int32_t>(INT32_MIN, INT32_MAX, "-2147483649", "2147483648");
    check_width<std::int64_t>(INT64_MIN, INT64_MAX, "-9223372036854775809", "9223372036854775808");
    for (std::string_view text : {"8.0", "1e2", "-0", "\"1\"", "true", "null", "[1]"})
        check_cases<std::uint8_t>({{text, ErrorKind::InvalidType}});
    check_cases<std::uint8_t>({{"100000000000000000000", ErrorKind::InvalidValue,
                                "invalid value: integer `100000000000000000000`, expected u8"}});
}

TEST(JsonNumbers, AnyNumberReadsAsAFloat) {
    expect_number<double>("18446744073709551615", 18446744073709551615.0);
    expect_number<double>("100000000000000000000", 1e20);
    expect_number<double>("-100000000000000000000", -1e20);
    expect_number<double>("-0.0", -0.0);
    expect_number<float>("-0", -0.0f);
    // 2^24 + 1 is not a float: the nearest (ties to even) is 2^24; beyond 64 bits the float is
    // rounded from the text, not from the double (2^64 + 2^40 + 1 rounds up, its double down).
    expect_number<float>("16777217", 16777216.0f);
    expect_number<float>("18446745173221179393", 18446746272732807168.0f);
    expect_number<float>("-1e300", -INFINITY);
    expect_number<float>(std::string(60, '9'), INFINITY);
    // Just below halfway to 2^128 still rounds to the largest float.
    expect_number<float>("3.4028235e38", 3.4028235e38f);
    check_cases<float>({{"\"1\"", ErrorKind::InvalidType}});
    check_cases<double>({{"null", ErrorKind::InvalidType}});
}

TEST(JsonTuple, ExactlyTwoValues) {
    using Pair = std::pair<std::string, std::string>;
    EXPECT_EQ(*read_text<Pair>(R"(["a","b"])"), Pair("a", "b"));
    check_cases<Pair>({
        {R"(["a"])", ErrorKind::InvalidLength, "invalid length 1, expected a tuple of size 2"},
        {R"(["a","b","c"])", ErrorKind::InvalidLength,
         "invalid length 3, expected 2 elements in sequence"},
        {R"(["a",1])", ErrorKind::InvalidType},
    });
}

TEST(JsonTaggedUnion, ReadingRules) {
    check_cases<Shape>({
        // The tag anywhere, by name or (where allowed) index; the array form tag first.
        {R"({"size":2,"count":3,"kind":"grid"})", {}},
        {R"({"kind":1,"size":2,"count":3})", {}},
        {R"(["grid", 4.5, 2])", {}},
        {R"([1, 4.5, 2, [0, 1]])", {}},
        {R"({"kind":"boxed","id":"a","level":1})", {}},
        {R"(["boxed","a",1,{},null])", {}},
        // A unit kind ignores other keys, but not surplus values.
        {R"({"kind":"dot","size":"x","size":1})", {}},
        {R"(["dot"])", {}},
        {R"(["dot", 1])", ErrorKind::InvalidLength,
         "invalid length 1, expected 0 elements in sequence"},
        {R"(["grid", 4.5])", ErrorKind::InvalidLength,
         "invalid length 1, expected struct variant Shape::Grid with 3 elements"},
        {R"(["grid", 1, 2, [0, 1], 3])", ErrorKind::InvalidLength},
        {R"([])", ErrorKind::InvalidLength,
         "invalid length 0, expected internally tagged enum Shape"},
        {R"({"kind":"boxed","id":"a"})", ErrorKind::MissingField, "missing field `level`"},
        {R"(["boxed","a"])", ErrorKind::InvalidLength,
         "invalid length 1, expected struct Sample with 4 elements"},
        // Tags are exact, given once, and name a kind.
        {R"({"kind":3})", ErrorKind::InvalidValue,
         "invalid value: integer `3`, expected variant index 0 <= i < 3"},
        {R"({"kind":-1})", ErrorKind::InvalidType},
        {R"({"kind":1.0,"size":2})", ErrorKind::InvalidType},
        {R"({"kind":"Grid","size":2,"count":1})", ErrorKind::UnknownVariant,
         "unknown variant `Grid`, expected one of `dot`, `grid`, `boxed`"},
        {R"({"size":2})", ErrorKind::MissingField, "missing field `kind`"},
        {R"({"kind":"dot","kind":"dot"})", ErrorKind::DuplicateField, "duplicate field `kind`"},
        {R"({"kind":"grid","size":1,"count":1,"count":1})", ErrorKind::DuplicateField},
        {R"("dot")", ErrorKind::InvalidType,
         R"(invalid type: string "dot", expected internally tagged enum Shape)"},
    });
    EXPECT_EQ(*read_text<Shape>(R"(["grid", 4.5, 2])"), Shape(Grid{4.5, 2, {}}));
    EXPECT_EQ(*read_text<Shape>(R"({"kind":2,"level":1,"id":"a"})"),
              Shape(Boxed{{"a", 1, {}, {}}}));
}

TEST(JsonTaggedUnion, IndexRefusedWhereNotAllowed) {
    json::Parser parser;
    for (std::string_view text : {R"({"kind":1,"size":1,"count":1})", R"([1,1,1])"}) {
        Shape out;
        auto r = record::read_tagged(parser.parse(text).value(), out, json::TagIndex::Refused);
        ASSERT_FALSE(r.has_value()) << text;
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidType);
    }
}

TEST(JsonUnitNames, NameOrSingleKeyObject) {
    EXPECT_EQ(*read_text<Layout>(R"("stereo")"), Layout::Stereo);
    EXPECT_EQ(*read_text<Layout>(R"({"stereo":null})"), Layout::Stereo);
    EXPECT_EQ(*read_text<Layout>(R"({"mono":{}})"), Layout::Mono);
    check_cases<Layout>({
        {R"("Mono")", ErrorKind::UnknownVariant,
         "unknown variant `Mono`, expected `mono` or `stereo`"},
        {R"({"Stereo":null})", ErrorKind::UnknownVariant},
        {R"({"mono":1})", ErrorKind::InvalidType},
        {R"({"mono":{"a":1}})", ErrorKind::InvalidType},
        {R"({})", ErrorKind::InvalidValue, "invalid value: map, expected map with a single key"},
        {R"({"mono":null,"stereo":null})", ErrorKind::InvalidValue},
        {"1", ErrorKind::InvalidType, "invalid type: integer `1`, expected string or map"},
        {"[\"mono\"]", ErrorKind::InvalidType},
    });
}

TEST(JsonExternalUnion, ExactlyOneKnownKey) {
    EXPECT_EQ(*read_text<Arg>(R"({"Float":3})"), Arg(3.0));
    EXPECT_EQ(*read_text<Arg>(R"({"Int":-5})"), Arg(std::int32_t{-5}));
    EXPECT_EQ(*read_text<Arg>(R"({"Str":"x"})"), Arg(std::string("x")));
    check_cases<Arg>({
        {R"({"Int":2147483648})", ErrorKind::InvalidValue},
        {R"({"Int":1.5})", ErrorKind::InvalidType},
        {R"({"Float":1,"Int":2})", ErrorKind::InvalidValue},
        {R"({})", ErrorKind::InvalidValue},
        {R"("Float")", ErrorKind::InvalidType},
        {R"({"float":1})", ErrorKind::UnknownVariant},
    });
}

template <class T>
std::string json_of(const T& value) {
    std::string out;
    record::json_form(out, value);
    return out;
}

TEST(RecordWriting, CompactJsonInDeclarationOrderReadsBack) {
    const Sample sample{"a\"\n", 7, {{"g", 440.0f}, {"n", NAN}, {"x", 0.1f}}, std::nullopt};
    std::string out = ">";
    record::json_form(out, sample);
    EXPECT_EQ(out,
              R"(>{"id":"a\"\n","level":7,"controls":{"g":440.0,"n":null,"x":0.1},"unit":null})");
    const Sample finite{"b", 255, {{"y", -1.5e-7f}, {"z", 3.4028235e38f}}, "Hz"};
    EXPECT_EQ(*read_text<Sample>(json_of(finite)), finite);
    const Shape grid = Grid{2.0, 3, {0.5f, 1.0f}};
    EXPECT_EQ(json_of(grid), R"({"kind":"grid","size":2.0,"count":3,"range":[0.5,1.0]})");
    for (const Shape& shape : {grid, Shape(Dot{}), Shape(Boxed{finite})})
        EXPECT_EQ(*read_text<Shape>(json_of(shape)), shape) << json_of(shape);
    std::string text = json_of(Layout::Stereo) + json_of(Arg(std::int32_t{2}));
    record::write_json(text, std::unordered_map<std::string, double>{{"u", 120.0}});
    EXPECT_EQ(text, R"("stereo"{"Int":2}{"u":120.0})");
}

TEST(RecordDebug, SingleLineForm) {
    const auto debug = [](const auto& value) {
        std::string out = " ";
        record::debug_form(out, value);
        return out;
    };
    EXPECT_EQ(
        debug(Sample{"a\"", 7, {{"f", 440.0f}, {"g", 0.5f}}, "Hz"}),
        R"( Sample { id: "a\"", level: 7, controls: {"f": 440.0, "g": 0.5}, unit: Some("Hz") })");
    EXPECT_EQ(debug(Shape(Grid{1e-7, 0, {-1.0f, 2.0f}})) + debug(Shape(Dot{})) +
                  debug(Shape(Boxed{{"", 0, {}, {}}})) + debug(Layout::Mono) + debug(Arg(1.0)),
              R"( Grid { size: 1e-7, count: 0, range: (-1.0, 2.0) } Dot )"
              R"(Boxed(Sample { id: "", level: 0, controls: {}, unit: None }) Mono Float(1.0))");
}

// Mutated texts (bytes flipped, dropped, duplicated) must only ever read or fail cleanly; the
// sanitizer build turns any memory fault into a test failure.
TEST(JsonRobustness, MutatedInputsReadOrFailCleanly) {
    const std::string seeds[] = {
        R"({"id":"a","level":1,"controls":{"f":1.5},"unit":null})",
        R"(["a", 3, {"g": -0}, "Hz"])",
        R"({"kind":"grid","size":2,"count":3,"x":[18446744073709551616,-0]})",
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
            const auto edit = rng() % 4;
            if (edit == 0)
                text[at] = "{}[],:\"0123456789-.eE \\xnul"[rng() % 27];
            else if (edit == 1)
                text.erase(at, 1);
            else if (edit == 2)
                text.insert(at, 1, static_cast<char>(rng() % 256));
            else
                text.insert(at, text.substr(at, rng() % 8));
        }
        auto root = parser.parse(text);
        if (!root) continue;
        if (json::read_as<Sample>(*root)) ++read_ok;
        if (auto shape = json::read_as<Shape>(*root)) {
            EXPECT_TRUE(parser.parse(json_of(*shape)).has_value()) << json_of(*shape);
        }
    }
    EXPECT_GT(read_ok, 0);
}

}  // namespace
