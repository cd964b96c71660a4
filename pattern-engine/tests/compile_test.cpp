#include "pattern_engine/ir/compile.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "ir_builders.hpp"
#include "pattern_engine/ir.hpp"
#include "pattern_engine/pattern.hpp"
#include "pattern_engine/time.hpp"

namespace {

using namespace ir_builders;

namespace ir = pattern_engine::ir;
namespace json = support::json;
namespace pattern = pattern_engine::pattern;
namespace pn = pattern_engine::pattern::node;
using pattern::CompiledPattern;
using pattern::PatternNode;
using pattern_engine::event::Cc;
using pattern_engine::event::Control;
using pattern_engine::event::Note;
using pattern_engine::event::Osc;
using pattern_engine::event::OscArg;
using pattern_engine::event::Value;
using pattern_engine::time::Time;

ir::IrNode read_ir(std::string_view text) {
    json::Parser parser;
    auto node = json::read_text<ir::IrNode>(parser, text);
    EXPECT_TRUE(node.has_value()) << (node ? "" : node.error().text);
    return node ? std::move(*node) : ir::IrNode{ir::Silence{}};
}

CompiledPattern compiled(const ir::IrNode& root) {
    auto result = ir::compile::compile(root);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().display());
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

[[gnu::noinline]] std::vector<PatternNode> arena(std::initializer_list<PatternNode> nodes) {
    return std::vector<PatternNode>(nodes);
}

std::size_t ir_size(const ir::IrNode& node) {
    return std::visit(
        [](const auto& k) -> std::size_t {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, ir::Cat> || std::is_same_v<K, ir::Stack>) {
                std::size_t n = 1;
                for (const auto& c : k.children)
                    n += ir_size(c);
                return n;
            } else if constexpr (std::is_same_v<K, ir::Every>) {
                return 1 + ir_size(*k.transform) + ir_size(*k.child);
            } else if constexpr (requires { k.child; }) {
                return 1 + ir_size(*k.child);
            } else {
                return 1;
            }
        },
        node);
}

// The arena invariants: every child index below its parent's, each node referred to exactly
// once (no sharing) except the root, which is last and referred to by none.
::testing::AssertionResult well_formed(const CompiledPattern& p) {
    if (p.nodes.empty()) return ::testing::AssertionFailure() << "empty arena";
    if (p.root != p.nodes.size() - 1) return ::testing::AssertionFailure() << "root not last";
    std::vector<int> refs(p.nodes.size(), 0);
    for (std::size_t i = 0; i < p.nodes.size(); ++i) {
        std::vector<pattern::NodeIndex> kids;
        std::visit(
            [&](const auto& k) {
                using K = std::decay_t<decltype(k)>;
                if constexpr (std::is_same_v<K, pn::Cat> || std::is_same_v<K, pn::Stack>) {
                    kids.assign(k.children.begin(), k.children.end());
                } else if constexpr (std::is_same_v<K, pn::Every>) {
                    kids = {k.transform, k.child};
                } else if constexpr (requires { k.child; }) {
                    kids = {k.child};
                }
            },
            p.nodes[i]);
        for (const auto kid : kids) {
            if (kid >= i) return ::testing::AssertionFailure() << "node " << i << " -> " << kid;
            ++refs[kid];
        }
    }
    for (std::size_t i = 0; i < refs.size(); ++i) {
        if (refs[i] != (i == p.root ? 0 : 1)) {
            return ::testing::AssertionFailure() << "node " << i << " referred " << refs[i];
        }
    }
    return ::testing::AssertionSuccess();
}

template <class K>
const K& node_at(const CompiledPattern& p, pattern::NodeIndex i) {
    const K* k = std::get_if<K>(&p.nodes.at(i));
    EXPECT_NE(k, nullptr) << "node " << i << " holds kind " << p.nodes.at(i).index();
    static const K fallback{};
    return k ? *k : fallback;
}

TEST(CompileArena, FastOfCatIsBuiltChildrenFirst) {
    const CompiledPattern p = compiled(fast(2, 1, cat(note(60), note(62))));
    CompiledPattern want;
    want.nodes =
        arena({PatternNode{pn::Atom{note_value(60)}}, PatternNode{pn::Atom{note_value(62)}},
               list_node<pn::Cat>({0, 1}), PatternNode{pn::Fast{2, Time(2, 1)}}});
    want.root = 3;
    want.control_only = false;
    EXPECT_EQ(p, want);
}

TEST(CompileArena, SameTreeFromJsonCompilesTheSame) {
    const ir::IrNode from_json = read_ir(
        R"(["Fast", [2, 1], ["Cat", [["Atom", ["Note", 0, 60, 100, 0.25]], ["Atom", ["Note", 0, 62, 100, 0.25]]]]])");
    EXPECT_EQ(compiled(from_json), compiled(fast(2, 1, cat(note(60), note(62)))));
}

TEST(CompileArena, EveryPutsTheTransformBeforeTheChild) {
    const CompiledPattern p = compiled(every(3, fast(2, 1, note(60)), rev(note(61))));
    CompiledPattern want;
    want.nodes = arena({PatternNode{pn::Atom{note_value(60)}}, PatternNode{pn::Fast{0, Time(2, 1)}},
                        PatternNode{pn::Atom{note_value(61)}}, PatternNode{pn::Rev{2}},
                        PatternNode{pn::Every{3, 1, 3}}});
    want.root = 4;
    EXPECT_EQ(p, want);
}

TEST(CompileArena, NestedListsKeepTheTreeOrder) {
    const CompiledPattern p = compiled(
        stack(cat(note(1), rev(note(2))), euclid(3, 8, 1, note(3)), freeze(silence()), note(4)));
    CompiledPattern want;
    want.nodes = arena({PatternNode{pn::Atom{note_value(1)}},  // 0
                        PatternNode{pn::Atom{note_value(2)}},  // 1
                        PatternNode{pn::Rev{1}},               // 2
                        list_node<pn::Cat>({0, 2}),            // 3
                        PatternNode{pn::Atom{note_value(3)}},  // 4
                        PatternNode{pn::Euclid{3, 8, 1, 4}},   // 5
                        PatternNode{pn::Silence{}},            // 6
                        PatternNode{pn::Freeze{6}},            // 7
                        PatternNode{pn::Atom{note_value(4)}},  // 8
                        list_node<pn::Stack>({3, 5, 7, 8})});
    want.root = 9;
    EXPECT_EQ(p, want);
    EXPECT_TRUE(well_formed(p));
}

TEST(CompileArena, LoneAtomAndLoneSilence) {
    const CompiledPattern a = compiled(note(60));
    ASSERT_EQ(a.nodes.size(), 1u);
    EXPECT_EQ(a.root, 0u);
    EXPECT_EQ(a.nodes[0], PatternNode{pn::Atom{note_value(60)}});
    EXPECT_FALSE(a.control_only);

    const CompiledPattern s = compiled(silence());
    ASSERT_EQ(s.nodes.size(), 1u);
    EXPECT_EQ(s.root, 0u);
    EXPECT_EQ(s.nodes[0], PatternNode{pn::Silence{}});
    EXPECT_FALSE(s.control_only);
}

TEST(CompileArena, LongChildListsKeepTheirOrder) {
    for (const std::size_t count : {8u, 9u, 20u}) {
        SCOPED_TRACE(count);
        ir::Cat flat;
        ir::Stack nested;
        for (std::size_t i = 0; i < count; ++i) {
            flat.children.push_back(note(static_cast<std::uint8_t>(i)));
            nested.children.push_back(rev(note(static_cast<std::uint8_t>(i))));
        }
        const CompiledPattern f = compiled(flat);
        ASSERT_EQ(f.nodes.size(), count + 1);
        pattern::ChildList want;
        for (std::size_t i = 0; i < count; ++i) {
            want.push_back(i);
            EXPECT_EQ(f.nodes[i], PatternNode{pn::Atom{note_value(static_cast<std::uint8_t>(i))}});
        }
        EXPECT_EQ(node_at<pn::Cat>(f, f.root).children, want);

        const CompiledPattern n = compiled(nested);
        ASSERT_EQ(n.nodes.size(), 2 * count + 1);
        pattern::ChildList want_nested;
        for (std::size_t i = 0; i < count; ++i) {
            want_nested.push_back(2 * i + 1);
            EXPECT_EQ(node_at<pn::Rev>(n, 2 * i + 1).child, 2 * i);
        }
        EXPECT_EQ(node_at<pn::Stack>(n, n.root).children, want_nested);
        EXPECT_TRUE(well_formed(n));
    }
}

TEST(CompileRationals, ReducedToLowestTermsWithTheSignOnTheNumerator) {
    struct Case {
        ir::IrNode node;
        std::int64_t numer;
        std::uint64_t denom;
    };
    std::vector<Case> cases;
    cases.push_back({fast(4, 6, silence()), 2, 3});
    cases.push_back({fast(2, 1, silence()), 2, 1});
    cases.push_back({fast(7, 7, silence()), 1, 1});
    cases.push_back({fast(INT64_MAX, 1, silence()), INT64_MAX, 1});
    cases.push_back({fast(INT64_MAX, INT64_MAX, silence()), 1, 1});
    cases.push_back({slow(6, 4, silence()), 3, 2});
    cases.push_back({slow(1, INT64_MAX, silence()), 1, INT64_MAX});
    cases.push_back({early(-2, 4, silence()), -1, 2});
    cases.push_back({early(0, 5, silence()), 0, 1});
    cases.push_back({early(0, 3, silence()), 0, 1});
    cases.push_back({early(12, 8, silence()), 3, 2});
    cases.push_back({early(INT64_MIN, 2, silence()), INT64_MIN / 2, 1});
    cases.push_back({early(INT64_MIN, 1, silence()), INT64_MIN, 1});
    cases.push_back({late(-6, 4, silence()), -3, 2});
    cases.push_back({late(9, 3, silence()), 3, 1});
    cases.push_back({late(INT64_MIN, INT64_MAX, silence()), INT64_MIN, INT64_MAX});
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const CompiledPattern p = compiled(cases[i].node);
        ASSERT_EQ(p.nodes.size(), 2u);
        const Time t = std::visit(
            [](const auto& k) -> Time {
                using K = std::decay_t<decltype(k)>;
                if constexpr (std::is_same_v<K, pn::Fast> || std::is_same_v<K, pn::Slow>) {
                    return k.factor;
                } else if constexpr (std::is_same_v<K, pn::Early> || std::is_same_v<K, pn::Late>) {
                    return k.offset;
                } else {
                    ADD_FAILURE() << "not a time transform";
                    return Time();
                }
            },
            p.nodes[1]);
        EXPECT_EQ(t.numer(), cases[i].numer);
        EXPECT_EQ(t.denom(), cases[i].denom);
    }
}

TEST(CompileRationals, KindIsKeptNotFolded) {
    // Slow keeps its own factor (not the reciprocal) and Late its own offset (not negated).
    EXPECT_EQ(compiled(slow(6, 4, silence())).nodes[1], (PatternNode{pn::Slow{0, Time(3, 2)}}));
    EXPECT_EQ(compiled(late(-6, 4, silence())).nodes[1], (PatternNode{pn::Late{0, Time(-3, 2)}}));
    EXPECT_EQ(compiled(early(1, 4, silence())).nodes[1], (PatternNode{pn::Early{0, Time(1, 4)}}));
    EXPECT_EQ(compiled(fast(1, 1, silence())).nodes[1], (PatternNode{pn::Fast{0, Time(1, 1)}}));
}

TEST(CompileParameters, NumbersAreCopiedUnchanged) {
    const CompiledPattern p = compiled(stack(
        every(UINT32_MAX, silence(), silence()), euclid(3, 8, UINT32_MAX, silence()),
        euclid(0, 5, 7, silence()), degrade(0.3, UINT64_MAX, silence()), degrade(1.0, 0, silence()),
        warp(4294967294u, 0.125, silence()), warp(2, 2.0 / 3.0, silence())));
    EXPECT_TRUE(well_formed(p));
    EXPECT_EQ(node_at<pn::Every>(p, 2), (pn::Every{UINT32_MAX, 0, 1}));
    EXPECT_EQ(node_at<pn::Euclid>(p, 4), (pn::Euclid{3, 8, UINT32_MAX, 3}));
    EXPECT_EQ(node_at<pn::Euclid>(p, 6), (pn::Euclid{0, 5, 7, 5}));
    EXPECT_EQ(node_at<pn::Degrade>(p, 8), (pn::Degrade{0.3, UINT64_MAX, 7}));
    EXPECT_EQ(node_at<pn::Degrade>(p, 10), (pn::Degrade{1.0, 0, 9}));
    EXPECT_EQ(node_at<pn::Warp>(p, 12),
              (pn::Warp{pattern::WarpKind::Swing, 4294967294u, 0.125, 11}));
    EXPECT_EQ(node_at<pn::Warp>(p, 14), (pn::Warp{pattern::WarpKind::Swing, 2, 2.0 / 3.0, 13}));
    EXPECT_EQ(static_cast<int>(pattern::WarpKind::Swing), 0);
}

TEST(CompileParameters, AtomValuesAreCopiedWhole) {
    const Value osc = Osc{"/audio/set", {OscArg{std::string("cutoff")}, OscArg{0.5}, OscArg{7}}};
    const Value cc = Cc{15, 74, 127};
    const Value ctl = control_value("filter.cutoff", -1.25f);
    const ir::IrNode root = cat(atom(osc), atom(cc), atom(ctl));
    const ir::IrNode before = root;
    const CompiledPattern p = compiled(root);
    EXPECT_EQ(node_at<pn::Atom>(p, 0).value, osc);
    EXPECT_EQ(node_at<pn::Atom>(p, 1).value, cc);
    EXPECT_EQ(node_at<pn::Atom>(p, 2).value, ctl);
    EXPECT_EQ(root, before);
}

TEST(CompileControlOnly, AllAtomsMustBeControlValues) {
    EXPECT_TRUE(compiled(control("a")).control_only);
    EXPECT_FALSE(compiled(silence()).control_only);
    EXPECT_FALSE(compiled(stack(silence(), freeze(silence()))).control_only);
    EXPECT_FALSE(compiled(note(60)).control_only);
    EXPECT_TRUE(compiled(stack(control("a"), silence())).control_only);
    EXPECT_TRUE(compiled(stack(silence(), control("a"))).control_only);
    EXPECT_FALSE(compiled(stack(control("a"), note(60))).control_only);
    EXPECT_FALSE(compiled(stack(note(60), control("a"))).control_only);
    EXPECT_FALSE(compiled(every(2, control("a"), note(60))).control_only);
    EXPECT_FALSE(compiled(every(2, note(60), control("a"))).control_only);
    EXPECT_TRUE(compiled(every(2, control("a"), control("b"))).control_only);
    EXPECT_FALSE(compiled(cat(control("a"), atom(Cc{0, 1, 2}))).control_only);
    EXPECT_FALSE(compiled(cat(control("a"), atom(Osc{"/x", {}}))).control_only);
    EXPECT_TRUE(compiled(fast(2, 1, degrade(0.5, 1, warp(4, 0.5, cat(control("a"), control("b"))))))
                    .control_only);
}

TEST(CompilePurity, CompilingTwiceGivesEqualPatterns) {
    const ir::IrNode root = read_ir(
        R"(["Stack", [["Fast", [2, 1], ["Cat", [["Atom", ["Note", 0, 60, 100, 0.25]], ["Atom", ["Note", 0, 62, 100, 0.25]]]]],
                      ["Euclid", 3, 8, 0, ["Atom", ["Note", 0, 36, 100, 0.25]]],
                      ["Late", [1, 4], ["Slow", [3, 2], ["Rev", ["Cat", [["Atom", ["Note", 0, 48, 100, 0.25]], ["Silence"]]]]]],
                      ["Every", 3, ["Early", [-2, 8], ["Silence"]], ["Freeze", ["Atom", ["Control", "x", 0.5]]]],
                      ["Degrade", 0.3, 7, ["Warp", "swing", 0.6, 8, ["Atom", ["Osc", "/a", [{"Str": "x"}]]]]]]])");
    const ir::IrNode before = root;
    const CompiledPattern first = compiled(root);
    const CompiledPattern second = compiled(root);
    EXPECT_EQ(first, second);
    EXPECT_EQ(root, before);
    EXPECT_EQ(first.nodes.size(), ir_size(root));
    EXPECT_TRUE(well_formed(first));
}

TEST(CompilePurity, NothingIsBuiltOnError) {
    const ir::IrNode bad = stack(note(60), cat(note(61), fast(0, 1, note(62))));
    const auto result = ir::compile::compile(bad);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), (ir::IrError{ir::IrError::Kind::NonPositiveFactor, ""}));
    EXPECT_EQ(result.error().display(), "fast/slow factor must be positive");
    EXPECT_EQ(result.error(), ir::validate::validate_depth(bad, 0).error());
}

TEST(CompilePurity, CompileNodeAppendsToAnExistingArena) {
    CompiledPattern p = compiled(stack(note(1), note(2)));
    ASSERT_EQ(p.nodes.size(), 3u);
    const pattern::NodeIndex at = ir::compile::compile_node(late(-6, 4, cat(note(3), note(4))), p);
    EXPECT_EQ(at, 6u);
    ASSERT_EQ(p.nodes.size(), 7u);
    EXPECT_EQ(p.nodes[3], PatternNode{pn::Atom{note_value(3)}});
    EXPECT_EQ(p.nodes[4], PatternNode{pn::Atom{note_value(4)}});
    EXPECT_EQ(p.nodes[5], list_node<pn::Cat>({3, 4}));
    EXPECT_EQ(p.nodes[6], (PatternNode{pn::Late{5, Time(-3, 2)}}));
}

TEST(CompileArena, OneNodePerTreeNodeWithoutSharing) {
    // Identical subtrees still get their own nodes.
    const ir::IrNode shared = fast(2, 1, cat(note(60), note(60)));
    const ir::IrNode root = stack(shared, shared, every(2, shared, shared));
    const CompiledPattern p = compiled(root);
    EXPECT_EQ(p.nodes.size(), ir_size(root));
    EXPECT_EQ(p.nodes.size(), 18u);
    EXPECT_TRUE(well_formed(p));
}

}  // namespace
