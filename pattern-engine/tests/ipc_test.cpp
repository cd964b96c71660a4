#include "pattern_engine/ipc.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
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

std::string error_of(const ClientMessage& message) {
    auto result = compile_command(message);
    EXPECT_FALSE(result.has_value());
    return result ? std::string() : result.error();
}

TEST(CompileCommand, SetPatternCompilesTheTreeAndCopiesTheSlot) {
    const ir::IrNode tree = fast(2, 1, cat(note(60), note(62)));
    const ClientMessage message = protocol::SetPattern{"d1", tree};
    const EngineCommand command = command_of(message);
    ASSERT_TRUE(std::holds_alternative<cmd::SetPattern>(command));
    EXPECT_EQ(std::get<cmd::SetPattern>(command).slot, "d1");
    EXPECT_EQ(std::get<cmd::SetPattern>(command).pattern, compiled(tree));
    // The message is only read.
    EXPECT_EQ(message, ClientMessage(protocol::SetPattern{"d1", tree}));
}

TEST(CompileCommand, SetPatternFromZeroCompilesTheTree) {
    const ir::IrNode tree = stack(control("cutoff"), control("res"));
    const EngineCommand command = command_of(protocol::SetPatternFromZero{"bass", tree});
    ASSERT_TRUE(std::holds_alternative<cmd::SetPatternFromZero>(command));
    EXPECT_EQ(std::get<cmd::SetPatternFromZero>(command).slot, "bass");
    EXPECT_EQ(std::get<cmd::SetPatternFromZero>(command).pattern, compiled(tree));
    EXPECT_TRUE(std::get<cmd::SetPatternFromZero>(command).pattern.control_only);
}

TEST(CompileCommand, CompileErrorsCarryTheDisplayText) {
    EXPECT_EQ(error_of(protocol::SetPattern{"d1", cat()}),
              "compile error: Cat requires at least one child");
    EXPECT_EQ(error_of(protocol::SetPatternFromZero{"d1", stack()}),
              "compile error: Stack requires at least one child");
    EXPECT_EQ(error_of(protocol::SetPattern{"d1", fast(0, 1, note(60))}),
              "compile error: fast/slow factor must be positive");
    EXPECT_EQ(error_of(protocol::SetPattern{"d1", slow(1, 0, note(60))}),
              "compile error: time value has zero denominator");
    const auto expected = ir::compile::compile(euclid(5, 3, 0, note(60)));
    ASSERT_FALSE(expected.has_value());
    EXPECT_EQ(error_of(protocol::SetPattern{"d1", euclid(5, 3, 0, note(60))}),
              "compile error: " + expected.error().display());
}

TEST(CompileCommand, HushCopiesTheSlot) {
    const EngineCommand command = command_of(protocol::Hush{"d1"});
    ASSERT_TRUE(std::holds_alternative<cmd::Hush>(command));
    EXPECT_EQ(std::get<cmd::Hush>(command).slot, "d1");
    const EngineCommand empty = command_of(protocol::Hush{""});
    EXPECT_EQ(std::get<cmd::Hush>(empty).slot, "");
}

TEST(CompileCommand, HushAll) {
    EXPECT_TRUE(std::holds_alternative<cmd::HushAll>(command_of(protocol::HushAll{})));
}

TEST(CompileCommand, TempoValuesPassUnchanged) {
    for (double bpm : {90.0, 92.5, 0.0, -1.0, std::numeric_limits<double>::infinity()}) {
        const EngineCommand command = command_of(protocol::SetBpm{bpm});
        ASSERT_TRUE(std::holds_alternative<cmd::SetBpm>(command));
        EXPECT_EQ(std::get<cmd::SetBpm>(command).bpm, bpm);
    }
    const EngineCommand nan =
        command_of(protocol::SetBpm{std::numeric_limits<double>::quiet_NaN()});
    EXPECT_TRUE(std::isnan(std::get<cmd::SetBpm>(nan).bpm));
    const EngineCommand beats = command_of(protocol::SetBeatsPerCycle{7.5});
    ASSERT_TRUE(std::holds_alternative<cmd::SetBeatsPerCycle>(beats));
    EXPECT_EQ(std::get<cmd::SetBeatsPerCycle>(beats).beats, 7.5);
}

TEST(CompileCommand, PingGivesNoCommand) {
    auto result = compile_command(protocol::Ping{});
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(result->has_value());
}

TEST(CompileCommand, BatchIsRefused) {
    EXPECT_EQ(error_of(protocol::Batch{}), "nested Batch is not allowed");
    EXPECT_EQ(error_of(protocol::Batch{{protocol::Ping{}, protocol::SetBpm{90.0}}}),
              "nested Batch is not allowed");
}

TEST(CompileCommand, DecodedBatchElementsCompileOneByOne) {
    json::Parser parser;
    auto message = protocol::decode(parser, R"({"cmd":"Batch","commands":[
        {"cmd":"SetBpm","bpm":90},["Ping"],{"cmd":"Batch","commands":[]},
        {"cmd":"SetPattern","slot":"d1","pattern":{"op":"Cat","children":[]}}]})");
    ASSERT_TRUE(message.has_value());
    const auto& commands = std::get<protocol::Batch>(*message).commands;
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(describe(command_of(commands[0])), "bpm set to 90");
    auto ping = compile_command(commands[1]);
    ASSERT_TRUE(ping.has_value());
    EXPECT_FALSE(ping->has_value());
    EXPECT_EQ(error_of(commands[2]), "nested Batch is not allowed");
    EXPECT_EQ(error_of(commands[3]), "compile error: Cat requires at least one child");
}

TEST(CompileCommand, FromWireTextToReply) {
    json::Parser parser;
    auto message = protocol::decode(parser, R"({"cmd":"SetBpm","bpm":90})");
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(describe(command_of(*message)), "bpm set to 90");
    message = protocol::decode(parser, R"({"cmd":"SetBpm","bpm":0})");
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(describe(command_of(*message)), "bpm set to 0");
}

TEST(DescribeCommand, SlotTexts) {
    EXPECT_EQ(describe(cmd::SetPattern{"d1", compiled(note(60))}), "pattern set on d1");
    EXPECT_EQ(describe(cmd::Hush{"d1"}), "d1 hushed");
    EXPECT_EQ(describe(cmd::HushAll{}), "all slots hushed");
    EXPECT_EQ(describe(cmd::SetPatternFromZero{"d1", compiled(note(60))}),
              "pattern set on d1 (from zero)");
    EXPECT_EQ(describe(cmd::Hush{""}), " hushed");
    EXPECT_EQ(describe(cmd::SetPattern{"", compiled(note(60))}), "pattern set on ");
}

TEST(DescribeCommand, NumbersInShortestPlainForm) {
    EXPECT_EQ(describe(cmd::SetBpm{90.0}), "bpm set to 90");
    EXPECT_EQ(describe(cmd::SetBpm{92.5}), "bpm set to 92.5");
    EXPECT_EQ(describe(cmd::SetBpm{0.1}), "bpm set to 0.1");
    EXPECT_EQ(describe(cmd::SetBpm{0.0}), "bpm set to 0");
    EXPECT_EQ(describe(cmd::SetBpm{1e-7}), "bpm set to 0.0000001");
    EXPECT_EQ(describe(cmd::SetBpm{1e20}), "bpm set to 100000000000000000000");
    EXPECT_EQ(describe(cmd::SetBeatsPerCycle{4.0}), "beats per cycle set to 4");
    EXPECT_EQ(describe(cmd::SetBeatsPerCycle{3.5}), "beats per cycle set to 3.5");
    EXPECT_EQ(describe(cmd::SetBeatsPerCycle{1.0 / 3.0}),
              "beats per cycle set to 0.3333333333333333");
}

}  // namespace
