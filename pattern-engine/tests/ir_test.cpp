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

// `text` with every '@' replaced by `by`.
std::string fill(std::string_view text, std::string_view by) {
    std::string out;
    for (char c : text)
        c == '@' ? out.append(by) : out.append(1, c);
    return out;
}

// Every kind once, its fields at their widest, in one tree; a kind's index is also its tag.
TEST(IrReading, EveryKindInBothForms) {
    const ir::IrNode expected =
        stack(note(60), silence(), freeze(silence()), cat(), fast(2, 1, silence()),
              slow(1, 0, silence()), early(-1, 4, silence()), late(INT64_MIN, INT64_MAX, silence()),
              every(2, rev(silence()), silence()), euclid(3, 4294967295u, 0, silence()),
              degrade(1.0, UINT64_MAX, silence()), warp_kind("swing", 4, 0.5, silence()));
    const std::string keyed = fill(R"({"op": "Stack", "children": [
        {"op": "Atom", "value": {"type": "Note", "channel": 0, "note": 60, "velocity": 100,
                                 "dur": 0.25}},
        {"op": "Silence", "child": 5}, {"op": "Freeze", "child": @},
        {"op": "Cat", "children": []}, {"op": "Fast", "child": @, "factor": [2, 1]},
        {"op": "Slow", "factor": [1, 0], "child": @},
        {"op": "Early", "offset": [-1, 4], "child": @},
        {"op": "Late", "offset": [-9223372036854775808, 9223372036854775807], "child": @},
        {"op": "Every", "n": 2, "transform": {"op": 9, "child": @}, "child": @},
        {"op": "Euclid", "pulses": 3, "steps": 4294967295, "rotation": 0, "child": @},
        {"op": "Degrade", "prob": 1, "seed": 18446744073709551615, "child": @},
        {"op": "Warp", "kind": "swing", "amount": 0.5, "grid": 4, "child": @}]})",
                                   R"({"op": "Silence"})");
    const std::string positional = fill(R"(["Stack", [["Atom", ["Note", 0, 60, 100, 0.25]],
        ["Silence"], ["Freeze", @], ["Cat", []], ["Fast", [2, 1], @], ["Slow", [1, 0], @],
        ["Early", [-1, 4], @], ["Late", [-9223372036854775808, 9223372036854775807], @],
        ["Every", 2, ["Rev", @], @], ["Euclid", 3, 4294967295, 0, @],
        ["Degrade", 1, 18446744073709551615, @], ["Warp", "swing", 0.5, 4, @]]])",
                                        R"(["Silence"])");
    for (const std::string& text : {keyed, positional}) {
        auto tree = read_ir(text);
        ASSERT_TRUE(tree.has_value()) << text << ": " << tree.error().text;
        EXPECT_EQ(*tree, expected) << text;
    }
}

TEST(IrReading, RefusedTagsAndFieldWidths) {
    const std::string child = R"(, "child": {"op": 1})";
    for (const std::string& text : {
             R"({"op": "Euclid", "pulses": 3, "rotation": 0, "steps": 4294967296)" + child + "}",
             R"({"op": "Degrade", "prob": 1, "seed": -1)" + child + "}",
             R"({"op": "Degrade", "prob": 1, "seed": 18446744073709551616)" + child + "}",
             R"({"op": "Fast", "factor": [9223372036854775808, 1])" + child + "}",
             R"({"op": "Fast", "factor": 2)" + child + "}",
             R"({"op": "Warp", "kind": 1, "amount": 0.5, "grid": 4)" + child + "}",
         }) {
        EXPECT_FALSE(read_ir(text).has_value()) << text;
    }
}

}  // namespace
