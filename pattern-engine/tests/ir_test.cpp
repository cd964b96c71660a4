#include "pattern_engine/ir.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

namespace json = support::json;
namespace ir = pattern_engine::ir;
using pattern_engine::event::Note;
using pattern_engine::event::Value;

json::Result<ir::IrNode> read_ir(std::string_view text) {
    json::Parser parser;
    return json::read_text<ir::IrNode>(parser, text);
}

bool reads(std::string_view text) {
    return read_ir(text).has_value();
}

constexpr std::string_view fast_note =
    R"({"op": "Fast", "factor": [2, 1], "child": {"op": "Atom", "value": {"type": "Note", "channel": 0, "note": 60, "velocity": 100, "dur": 0.5}}})";

TEST(IrReading, FastOfAnAtom) {
    auto node = read_ir(fast_note);
    ASSERT_TRUE(node.has_value()) << node.error().text;
    const auto& fast = std::get<ir::Fast>(*node);
    EXPECT_EQ(fast.factor, (ir::Ratio{2, 1}));
    const auto& atom = std::get<ir::Atom>(*fast.child);
    EXPECT_EQ(std::get<Note>(atom.value), (Note{0, 60, 100, 0.5}));
}

TEST(IrReading, KeyOrderAndExtraKeysDoNotMatter) {
    auto reordered = read_ir(
        R"({"comment": "x", "child": {"value": {"dur": 0.5, "velocity": 100, "note": 60, "channel": 0, "type": "Note", "comment": 1}, "op": "Atom", "comment": [1]}, "factor": [2, 1], "op": "Fast"})");
    ASSERT_TRUE(reordered.has_value()) << reordered.error().text;
    EXPECT_EQ(*reordered, *read_ir(fast_note));
}

TEST(IrReading, TagsByIndex) {
    auto node = read_ir(R"({"op": 5, "factor": [2, 1], "child": {"op": 1}})");
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(*node, (ir::IrNode{ir::Fast{ir::Ratio{2, 1}, ir::Child(ir::IrNode{ir::Silence{}})}}));
    EXPECT_TRUE(
        reads(R"({"op": 13, "kind": "swing", "amount": 0.5, "grid": 4, "child": {"op": 1}})"));
    EXPECT_FALSE(reads(R"({"op": 14})"));
    EXPECT_FALSE(reads(R"({"op": -1})"));
    EXPECT_FALSE(reads(R"({"op": 1.0})"));
}

TEST(IrReading, ArrayForm) {
    auto node = read_ir(R"(["Fast", [2, 1], ["Silence"]])");
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(*node, *read_ir(R"({"op": "Fast", "factor": [2, 1], "child": {"op": "Silence"}})"));
    EXPECT_FALSE(reads(R"(["Fast", [2, 1]])"));
    EXPECT_FALSE(reads(R"(["Fast", [2, 1], ["Silence"], 1])"));
    EXPECT_FALSE(reads(R"(["Silence", 1])"));
    EXPECT_FALSE(reads(R"([])"));
    EXPECT_TRUE(reads(R"(["Euclid", 3, 8, 0, ["Atom", ["Note", 0, 36, 100, 0.25]]])"));
}

TEST(IrReading, SilenceIgnoresEveryOtherKey) {
    auto node = read_ir(R"({"op": "Silence", "child": 5, "child": "again"})");
    ASSERT_TRUE(node.has_value());
    EXPECT_TRUE(std::holds_alternative<ir::Silence>(*node));
}

TEST(IrReading, MissingDuplicateAndMisnamed) {
    EXPECT_FALSE(reads(R"({"op": "Fast", "child": {"op": "Silence"}})"));
    EXPECT_FALSE(reads(R"({"op": "Rev", "child": {"op": "Silence"}, "child": {"op": "Silence"}})"));
    EXPECT_FALSE(reads(R"({"op": "Silence", "op": "Silence"})"));
    EXPECT_FALSE(reads(R"({"op": "fast", "factor": [2, 1], "child": {"op": "Silence"}})"));
    EXPECT_FALSE(reads(R"({"factor": [2, 1], "child": {"op": "Silence"}})"));
    EXPECT_FALSE(reads(R"("Silence")"));
    EXPECT_FALSE(reads(R"(5)"));
}

TEST(IrReading, RationalPairs) {
    auto with_factor = [](std::string_view factor) {
        return read_ir(std::string(R"({"op": "Slow", "child": {"op": "Silence"}, "factor": )") +
                       std::string(factor) + "}");
    };
    EXPECT_EQ(std::get<ir::Slow>(*with_factor("[1, 0]")).factor, (ir::Ratio{1, 0}));
    EXPECT_EQ(std::get<ir::Slow>(*with_factor("[-4, -6]")).factor, (ir::Ratio{-4, -6}));
    EXPECT_EQ(
        std::get<ir::Slow>(*with_factor("[-9223372036854775808, 9223372036854775807]")).factor,
        (ir::Ratio{INT64_MIN, INT64_MAX}));
    EXPECT_FALSE(with_factor("[1, 2, 3]").has_value());
    EXPECT_FALSE(with_factor("[1]").has_value());
    EXPECT_FALSE(with_factor("[1.5, 2]").has_value());
    EXPECT_FALSE(with_factor("[1, 2.0]").has_value());
    EXPECT_FALSE(with_factor("[9223372036854775808, 1]").has_value());
    EXPECT_FALSE(with_factor(R"({"0": 1, "1": 2})").has_value());
    EXPECT_FALSE(with_factor("1.5").has_value());
}

TEST(IrReading, UnsignedFieldsNarrowedByWidth) {
    auto euclid = [](std::string_view steps) {
        return reads(
            std::string(
                R"({"op": "Euclid", "pulses": 3, "rotation": 0, "child": {"op": 1}, "steps": )") +
            std::string(steps) + "}");
    };
    EXPECT_TRUE(euclid("0"));
    EXPECT_TRUE(euclid("4294967295"));
    EXPECT_FALSE(euclid("-1"));
    EXPECT_FALSE(euclid("4294967296"));
    EXPECT_FALSE(euclid("8.0"));
    EXPECT_FALSE(euclid("8e0"));

    auto degrade = [](std::string_view seed) {
        return read_ir(std::string(R"({"op": "Degrade", "prob": 1, "child": {"op": 1}, "seed": )") +
                       std::string(seed) + "}");
    };
    auto max_seed = degrade("18446744073709551615");
    ASSERT_TRUE(max_seed.has_value());
    EXPECT_EQ(std::get<ir::Degrade>(*max_seed).seed, UINT64_MAX);
    EXPECT_EQ(std::get<ir::Degrade>(*max_seed).prob, 1.0);
    EXPECT_FALSE(degrade("-1").has_value());
}

TEST(IrReading, ChildListsMayBeEmptyUntilValidation) {
    auto cat = read_ir(R"({"op": "Cat", "children": []})");
    ASSERT_TRUE(cat.has_value());
    EXPECT_TRUE(std::get<ir::Cat>(*cat).children.empty());
    EXPECT_FALSE(reads(R"({"op": "Stack", "children": {"op": "Silence"}})"));
    EXPECT_FALSE(reads(R"({"op": "Stack", "children": [{"op": "Silence"}, 1]})"));
    auto every = read_ir(
        R"({"op": "Every", "n": 2, "transform": {"op": "Rev", "child": {"op": 1}}, "child": {"op": "Freeze", "child": {"op": 1}}})");
    ASSERT_TRUE(every.has_value());
    EXPECT_EQ(std::get<ir::Every>(*every).n, 2u);
    EXPECT_TRUE(std::holds_alternative<ir::Rev>(*std::get<ir::Every>(*every).transform));
}

TEST(IrReading, TreesAsDeepAsTheParserAllows) {
    // Each Rev costs one level; 127 of them and a Silence make exactly 128.
    std::string text;
    for (int i = 0; i < 127; ++i)
        text += R"({"op":"Rev","child":)";
    text += R"({"op":"Silence"})" + std::string(127, '}');
    auto node = read_ir(text);
    ASSERT_TRUE(node.has_value());
    int depth = 1;
    const ir::IrNode* at = &*node;
    while (auto rev = std::get_if<ir::Rev>(at)) {
        at = &*rev->child;
        ++depth;
    }
    EXPECT_EQ(depth, 128);

    std::string deeper = R"({"op":"Rev","child":)" + text + "}";
    ASSERT_FALSE(read_ir(deeper).has_value());
    EXPECT_EQ(read_ir(deeper).error().kind, json::ErrorKind::Depth);
}

TEST(IrReading, CopiesAreDeepAndEqual) {
    auto node = read_ir(R"(["Stack", [["Fast", [2, 1], ["Silence"]], ["Rev", ["Silence"]]]])");
    ASSERT_TRUE(node.has_value());
    ir::IrNode copy = *node;
    EXPECT_EQ(copy, *node);
    std::get<ir::Fast>(std::get<ir::Stack>(copy).children[0]).factor.numerator = 3;
    EXPECT_NE(copy, *node);
}

// Bytes flipped, dropped and repeated in a valid tree must only ever read or fail cleanly (the
// sanitizer build makes any memory fault a failure).
TEST(IrReading, MutatedTreesReadOrFailCleanly) {
    const std::string seed =
        R"({"op":"Stack","children":[{"op":"Fast","factor":[2,1],"child":{"op":"Cat","children":[{"op":"Atom","value":{"type":"Note","channel":0,"note":60,"velocity":100,"dur":0.5}},["Atom",["Osc","/a",[{"Str":"x"},{"Int":1}]]]]}},{"op":"Degrade","prob":0.3,"seed":7,"child":{"op":"Atom","value":["Control","c",0.5]}}]})";
    std::mt19937 rng(99);
    json::Parser parser;
    int ok = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = seed;
        for (int e = 0, n = 1 + static_cast<int>(rng() % 3); e < n; ++e) {
            const std::size_t at = rng() % text.size();
            switch (rng() % 3) {
                case 0:
                    text[at] = "{}[],:\"0123456789-.eE xnul"[rng() % 26];
                    break;
                case 1:
                    text.erase(at, 1 + rng() % 4);
                    break;
                default:
                    text.insert(at, text.substr(rng() % text.size(), 1 + rng() % 12));
                    break;
            }
            if (text.empty()) text = "{";
        }
        auto root = parser.parse(text);
        if (root && json::read_as<ir::IrNode>(*root)) ++ok;
    }
    EXPECT_GT(ok, 0);
}

}  // namespace
