// The pattern tree's own reading: its kinds, tags and field widths. The generic reading rules
// (keys, duplicates, positional lengths, depth) are support's tests.
#include "pattern_engine/ir.hpp"

#include <gtest/gtest.h>

#include <string>

#include "ir_builders.hpp"

namespace {

using namespace ir_builders;
namespace json = support::json;

json::Result<ir::IrNode> read_ir(std::string_view text) {
    json::Parser parser;
    return json::read_text<ir::IrNode>(parser, text);
}

const std::string note60 =
    R"({"type": "Note", "channel": 0, "note": 60, "velocity": 100, "dur": 0.25})";
const std::string sil = R"({"op": "Silence"})";

struct KindCase {
    std::string keyed;
    std::string positional;
    ir::IrNode expected;
};

TEST(IrReading, EveryKindInBothForms) {
    const KindCase cases[] = {
        {R"({"op": "Atom", "value": )" + note60 + "}", R"(["Atom", ["Note", 0, 60, 100, 0.25]])",
         note(60)},
        {R"({"op": "Silence", "child": 5})", R"(["Silence"])", silence()},
        {R"({"op": "Freeze", "child": )" + sil + "}", R"(["Freeze", ["Silence"]])",
         freeze(silence())},
        {R"({"op": "Cat", "children": []})", R"(["Cat", []])", cat()},
        {R"({"op": "Stack", "children": [)" + sil + "]}", R"(["Stack", [["Silence"]]])",
         stack(silence())},
        {R"({"op": "Fast", "child": )" + sil + R"(, "factor": [2, 1]})",
         R"(["Fast", [2, 1], ["Silence"]])", fast(2, 1, silence())},
        {R"({"op": "Slow", "factor": [1, 0], "child": )" + sil + "}",
         R"(["Slow", [1, 0], ["Silence"]])", slow(1, 0, silence())},
        {R"({"op": "Early", "offset": [-1, 4], "child": )" + sil + "}",
         R"(["Early", [-1, 4], ["Silence"]])", early(-1, 4, silence())},
        {R"({"op": "Late", "offset": [-9223372036854775808, 9223372036854775807], "child": )" +
             sil + "}",
         R"(["Late", [-9223372036854775808, 9223372036854775807], ["Silence"]])",
         late(INT64_MIN, INT64_MAX, silence())},
        // A kind's index is also its tag.
        {R"({"op": 9, "child": )" + sil + "}", R"(["Rev", ["Silence"]])", rev(silence())},
        {R"({"op": "Every", "n": 2, "transform": {"op": "Rev", "child": )" + sil +
             R"(}, "child": )" + sil + "}",
         R"(["Every", 2, ["Rev", ["Silence"]], ["Silence"]])", every(2, rev(silence()), silence())},
        {R"({"op": "Euclid", "pulses": 3, "steps": 4294967295, "rotation": 0, "child": )" + sil +
             "}",
         R"(["Euclid", 3, 4294967295, 0, ["Silence"]])", euclid(3, 4294967295u, 0, silence())},
        {R"({"op": "Degrade", "prob": 1, "seed": 18446744073709551615, "child": )" + sil + "}",
         R"(["Degrade", 1, 18446744073709551615, ["Silence"]])",
         degrade(1.0, UINT64_MAX, silence())},
        {R"({"op": "Warp", "kind": "swing", "amount": 0.5, "grid": 4, "child": )" + sil + "}",
         R"(["Warp", "swing", 0.5, 4, ["Silence"]])", warp_kind("swing", 4, 0.5, silence())},
    };
    std::size_t index = 0;
    for (const auto& c : cases) {
        auto keyed = read_ir(c.keyed);
        ASSERT_TRUE(keyed.has_value()) << c.keyed << ": " << keyed.error().text;
        EXPECT_EQ(*keyed, c.expected) << c.keyed;
        EXPECT_EQ(keyed->index(), index) << c.keyed;
        auto positional = read_ir(c.positional);
        ASSERT_TRUE(positional.has_value()) << c.positional << ": " << positional.error().text;
        EXPECT_EQ(*positional, c.expected) << c.positional;
        ++index;
    }
}

TEST(IrReading, RefusedTagsAndFieldWidths) {
    const std::string child = R"(, "child": {"op": 1})";
    for (const std::string& text : {
             std::string(R"({"op": 14})"),
             R"({"op": "fast", "factor": [2, 1])" + child + "}",
             R"({"op": "Euclid", "pulses": 3, "rotation": 0, "steps": 4294967296)" + child + "}",
             R"({"op": "Degrade", "prob": 1, "seed": -1)" + child + "}",
             R"({"op": "Degrade", "prob": 1, "seed": 18446744073709551616)" + child + "}",
             R"({"op": "Fast", "factor": [9223372036854775808, 1])" + child + "}",
             R"({"op": "Fast", "factor": 2)" + child + "}",
             std::string(R"({"op": "Cat", "children": [{"op": "Silence"}, 1]})"),
             R"({"op": "Warp", "kind": 1, "amount": 0.5, "grid": 4)" + child + "}",
         }) {
        EXPECT_FALSE(read_ir(text).has_value()) << text;
    }
}

}  // namespace
