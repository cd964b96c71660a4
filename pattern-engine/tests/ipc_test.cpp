#include "pattern_engine/ipc.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <variant>

#include "ir_builders.hpp"
#include "pattern_engine/ir/compile.hpp"

namespace {

using namespace ir_builders;

namespace json = support::json;
namespace protocol = pattern_engine::ipc::protocol;
namespace cmd = pattern_engine::engine::command;
using pattern_engine::engine::EngineCommand;
using pattern_engine::ipc::compile_command;
using pattern_engine::ipc::describe;
using pattern_engine::pattern::CompiledPattern;
using protocol::ClientMessage;

CompiledPattern compiled(const ir::IrNode& tree) {
    auto pattern = ir::compile::compile(tree);
    EXPECT_TRUE(pattern.has_value());
    return pattern ? std::move(*pattern) : CompiledPattern{};
}

// The command compiled from `message`, which must give one.
EngineCommand command_of(const ClientMessage& message) {
    auto result = compile_command(message);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error());
    if (!result || !*result) {
        ADD_FAILURE() << "no command";
        return cmd::HushAll{};
    }
    return std::move(**result);
}

// What a command carries, for comparison: kind, slot, pattern, number.
std::tuple<std::size_t, std::string, CompiledPattern, double> parts(const EngineCommand& command) {
    return std::visit(
        [&](const auto& c) {
            std::tuple<std::size_t, std::string, CompiledPattern, double> out{
                command.index(), {}, {}, 0.0};
            if constexpr (requires { c.slot; }) std::get<1>(out) = c.slot;
            if constexpr (requires { c.pattern; }) std::get<2>(out) = c.pattern;
            if constexpr (requires { c.bpm; }) std::get<3>(out) = c.bpm;
            if constexpr (requires { c.beats; }) std::get<3>(out) = c.beats;
            return out;
        },
        static_cast<const EngineCommand::variant&>(command));
}

void expect_command(const ClientMessage& message, const EngineCommand& expected) {
    EXPECT_EQ(parts(command_of(message)), parts(expected));
}

std::string error_of(const ClientMessage& message) {
    auto result = compile_command(message);
    EXPECT_FALSE(result.has_value());
    return result ? std::string() : result.error();
}

TEST(CompileCommand, EachMessageGivesItsCommand) {
    const ir::IrNode tree = fast(2, 1, cat(note(60), note(62)));
    const ir::IrNode curves = stack(control("cutoff"), control("res"));
    expect_command(protocol::SetPattern{"d1", tree}, cmd::SetPattern{"d1", compiled(tree)});
    expect_command(protocol::SetPatternFromZero{"bass", curves},
                   cmd::SetPatternFromZero{"bass", compiled(curves)});
    expect_command(protocol::Hush{""}, cmd::Hush{""});
    expect_command(protocol::HushAll{}, cmd::HushAll{});
    expect_command(protocol::SetBeatsPerCycle{7.5}, cmd::SetBeatsPerCycle{7.5});
    // Tempo values pass unchecked: the engine checks them when applying.
    for (double bpm : {90.0, 0.0, -1.0, std::numeric_limits<double>::infinity()}) {
        expect_command(protocol::SetBpm{bpm}, cmd::SetBpm{bpm});
    }
    const EngineCommand nan =
        command_of(protocol::SetBpm{std::numeric_limits<double>::quiet_NaN()});
    EXPECT_TRUE(std::isnan(std::get<cmd::SetBpm>(nan).bpm));
    auto ping = compile_command(protocol::Ping{});
    ASSERT_TRUE(ping.has_value());
    EXPECT_FALSE(ping->has_value());
}

TEST(CompileCommand, RefusalsCarryTheirTexts) {
    EXPECT_EQ(error_of(protocol::SetPattern{"d1", cat()}),
              "compile error: Cat requires at least one child");
    EXPECT_EQ(error_of(protocol::SetPatternFromZero{"d1", slow(1, 0, note(60))}),
              "compile error: time value has zero denominator");
    EXPECT_EQ(error_of(protocol::Batch{}), "nested Batch is not allowed");
    EXPECT_EQ(error_of(protocol::Batch{{protocol::Ping{}, protocol::SetBpm{90.0}}}),
              "nested Batch is not allowed");
}

TEST(DescribeCommand, TextsWithNumbersInShortestPlainForm) {
    const std::pair<EngineCommand, std::string_view> cases[] = {
        {cmd::SetPattern{"d1", compiled(note(60))}, "pattern set on d1"},
        {cmd::SetPatternFromZero{"d1", compiled(note(60))}, "pattern set on d1 (from zero)"},
        {cmd::Hush{"d1"}, "d1 hushed"},
        {cmd::HushAll{}, "all slots hushed"},
        {cmd::SetBpm{90.0}, "bpm set to 90"},
        {cmd::SetBpm{1e-7}, "bpm set to 0.0000001"},
        {cmd::SetBeatsPerCycle{1.0 / 3.0}, "beats per cycle set to 0.3333333333333333"},
    };
    for (const auto& [command, text] : cases) {
        EXPECT_EQ(describe(command), text);
    }
}

}  // namespace
