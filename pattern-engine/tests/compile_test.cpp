#include "pattern_engine/ir/compile.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "ir_builders.hpp"
#include "printers.hpp"

namespace {

using namespace ir_builders;
namespace pattern = pattern_engine::pattern;
namespace pn = pattern_engine::pattern::node;
using pattern::CompiledPattern;
using pattern::PatternNode;
using pattern_engine::event::Cc;
using pattern_engine::time::Time;

CompiledPattern compiled(const ir::IrNode& root) {
    auto result = ir::compile::compile(root);
    EXPECT_TRUE(result.has_value());
    return result ? std::move(*result) : CompiledPattern{};
}

// Out of line: g++ 12 reports a false overread when a small_vector is copied inline here.
template <class K>
[[gnu::noinline]] PatternNode list_node(std::initializer_list<pattern::NodeIndex> indices) {
    PatternNode node{K{}};
    for (const auto i : indices)
        std::get<K>(node).children.push_back(i);
    return node;
}

TEST(CompileArena, ChildrenFirstInTreeOrderWithParametersCopied) {
    const ir::IrNode root = stack(cat(note(1), rev(note(2))),
                                  every(3, euclid(3, 8, UINT32_MAX, note(3)), freeze(silence())),
                                  degrade(0.3, UINT64_MAX, warp(4294967294u, 0.125, note(4))));
    const CompiledPattern p = compiled(root);
    const std::vector<PatternNode> want = {
        pn::Atom{note_value(1)},                                    // 0
        pn::Atom{note_value(2)},                                    // 1
        pn::Rev{1},                                                 // 2
        list_node<pn::Cat>({0, 2}),                                 // 3
        pn::Atom{note_value(3)},                                    // 4
        pn::Euclid{3, 8, UINT32_MAX, 4},                            // 5
        pn::Silence{},                                              // 6
        pn::Freeze{6},                                              // 7
        pn::Every{3, 5, 7},                                         // 8
        pn::Atom{note_value(4)},                                    // 9
        pn::Warp{pattern::WarpKind::Swing, 4294967294u, 0.125, 9},  // 10
        pn::Degrade{0.3, UINT64_MAX, 10},                           // 11
        list_node<pn::Stack>({3, 8, 11}),                           // 12
    };
    EXPECT_EQ(p, (CompiledPattern{want, 12, false}));

    // Lists beyond their in-place room keep their order; compile_node appends.
    CompiledPattern q = p;
    ir::Cat nine;
    for (std::uint8_t i = 0; i < 9; ++i)
        nine.children.push_back(note(i));
    EXPECT_EQ(ir::compile::compile_node(nine, q), 22u);
    EXPECT_EQ(q.nodes.back(), list_node<pn::Cat>({13, 14, 15, 16, 17, 18, 19, 20, 21}));
    EXPECT_EQ(q.nodes[21], PatternNode{pn::Atom{note_value(8)}});
}

// Timing rationals in lowest terms keeping their kind; control only when there are atoms and all
// are controls.
TEST(CompileArena, RationalsInLowestTermsAndControlOnlyPatterns) {
    const struct {
        ir::IrNode root;
        std::optional<PatternNode> last;
        bool control_only;
    } cases[] = {
        {fast(4, 6, control("a")), pn::Fast{0, Time(2, 3)}, true},
        {slow(6, 4, silence()), pn::Slow{0, Time(3, 2)}, false},
        {early(INT64_MIN, 2, silence()), pn::Early{0, Time(INT64_MIN / 2, 1)}, false},
        {late(-6, 4, silence()), pn::Late{0, Time(-3, 2)}, false},
        {late(INT64_MIN, INT64_MAX, silence()), pn::Late{0, Time(INT64_MIN, INT64_MAX)}, false},
        {stack(silence(), control("a")), {}, true},
        {every(2, control("a"), note(60)), {}, false},
        {cat(control("a"), atom(Cc{0, 1, 2})), {}, false},
        {fast(2, 1, degrade(0.5, 1, warp(4, 0.5, cat(control("a"), control("b"))))), {}, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const CompiledPattern p = compiled(cases[i].root);
        EXPECT_EQ(p.control_only, cases[i].control_only) << "case " << i;
        EXPECT_EQ(p.nodes.back(), cases[i].last.value_or(p.nodes.back())) << "case " << i;
    }
}

}  // namespace
