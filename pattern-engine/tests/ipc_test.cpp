#include "pattern_engine/ipc.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>

#include "ir_builders.hpp"
#include "pattern_engine/ir/compile.hpp"

namespace {

using namespace ir_builders;

namespace protocol = pattern_engine::ipc::protocol;
namespace cmd = pattern_engine::engine::command;
using pattern_engine::ipc::compile_command;
using protocol::ClientMessage;

// The reply text of the command compiled from `message`, its error, or "none".
std::string outcome(const ClientMessage& message) {
    auto result = compile_command(message);
    if (!result) return "error: " + result.error();
    return *result ? pattern_engine::ipc::describe(**result) : "none";
}

TEST(CompileCommand, EachMessageGivesItsCommandOrRefusal) {
    const ir::IrNode tree = fast(2, 1, cat(note(60), note(62)));
    const std::pair<ClientMessage, std::string_view> cases[] = {
        {protocol::SetPattern{"d1", tree}, "pattern set on d1"},
        {protocol::SetPatternFromZero{"bass", tree}, "pattern set on bass (from zero)"},
        {protocol::Hush{"d1"}, "d1 hushed"},
        {protocol::HushAll{}, "all slots hushed"},
        // Numbers in the shortest plain form; tempo values pass unchecked (the engine checks
        // them when applying).
        {protocol::SetBpm{90.0}, "bpm set to 90"},
        {protocol::SetBpm{1e-7}, "bpm set to 0.0000001"},
        {protocol::SetBpm{-INFINITY}, "bpm set to -inf"},
        {protocol::SetBpm{NAN}, "bpm set to NaN"},
        {protocol::SetBeatsPerCycle{1.0 / 3.0}, "beats per cycle set to 0.3333333333333333"},
        {protocol::Ping{}, "none"},
        {protocol::SetPattern{"d1", cat()},
         "error: compile error: Cat requires at least one child"},
        {protocol::SetPatternFromZero{"d1", slow(1, 0, note(60))},
         "error: compile error: time value has zero denominator"},
        {protocol::Batch{}, "error: nested Batch is not allowed"},
        {protocol::Batch{{protocol::Ping{}, protocol::SetBpm{90.0}}},
         "error: nested Batch is not allowed"},
    };
    for (const auto& [message, text] : cases) {
        EXPECT_EQ(outcome(message), text);
    }
    // The command carries the tree compiled.
    for (const ClientMessage& message : {ClientMessage(protocol::SetPattern{"d1", tree}),
                                         ClientMessage(protocol::SetPatternFromZero{"d1", tree})}) {
        const auto command = compile_command(message).value().value();
        std::visit(
            [&](const auto& c) {
                if constexpr (requires { c.pattern; }) {
                    EXPECT_TRUE(c.pattern == ir::compile::compile(tree).value());
                } else {
                    ADD_FAILURE() << "no pattern";
                }
            },
            static_cast<const pattern_engine::engine::EngineCommand::variant&>(command));
    }
}

}  // namespace
