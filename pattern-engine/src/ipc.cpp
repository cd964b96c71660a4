#include "pattern_engine/ipc.hpp"

#include <type_traits>
#include <utility>
#include <variant>

#include "pattern_engine/ir/compile.hpp"
#include "support/number.hpp"

namespace pattern_engine::ipc {

namespace {

using Compiled = std::expected<std::optional<engine::EngineCommand>, std::string>;

template <class Command>
Compiled compile_pattern(const std::string& slot, const ir::IrNode& tree) {
    auto pattern = ir::compile::compile(tree);
    if (!pattern) return std::unexpected("compile error: " + pattern.error().display());
    return engine::EngineCommand(Command{slot, std::move(*pattern)});
}

}  // namespace

Compiled compile_command(const protocol::ClientMessage& message) {
    namespace cmd = engine::command;
    return std::visit(
        [](const auto& m) -> Compiled {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, protocol::SetPattern>) {
                return compile_pattern<cmd::SetPattern>(m.slot, m.pattern);
            } else if constexpr (std::is_same_v<M, protocol::SetPatternFromZero>) {
                return compile_pattern<cmd::SetPatternFromZero>(m.slot, m.pattern);
            } else if constexpr (std::is_same_v<M, protocol::Hush>) {
                return engine::EngineCommand(cmd::Hush{m.slot});
            } else if constexpr (std::is_same_v<M, protocol::HushAll>) {
                return engine::EngineCommand(cmd::HushAll{});
            } else if constexpr (std::is_same_v<M, protocol::SetBpm>) {
                return engine::EngineCommand(cmd::SetBpm{m.bpm});
            } else if constexpr (std::is_same_v<M, protocol::SetBeatsPerCycle>) {
                return engine::EngineCommand(cmd::SetBeatsPerCycle{m.beats});
            } else if constexpr (std::is_same_v<M, protocol::Ping>) {
                return std::optional<engine::EngineCommand>();
            } else {
                static_assert(std::is_same_v<M, protocol::Batch>);
                // Only the IPC server unpacks a Batch, and only at the top level.
                return std::unexpected(std::string("nested Batch is not allowed"));
            }
        },
        static_cast<const protocol::ClientMessage::variant&>(message));
}

std::string describe(const engine::EngineCommand& command) {
    namespace cmd = engine::command;
    return std::visit(
        [](const auto& c) -> std::string {
            using C = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<C, cmd::SetPattern>) {
                return "pattern set on " + c.slot;
            } else if constexpr (std::is_same_v<C, cmd::Hush>) {
                return c.slot + " hushed";
            } else if constexpr (std::is_same_v<C, cmd::HushAll>) {
                return "all slots hushed";
            } else if constexpr (std::is_same_v<C, cmd::SetPatternFromZero>) {
                return "pattern set on " + c.slot + " (from zero)";
            } else if constexpr (std::is_same_v<C, cmd::SetBpm>) {
                return "bpm set to " + support::number::message(c.bpm);
            } else {
                static_assert(std::is_same_v<C, cmd::SetBeatsPerCycle>);
                return "beats per cycle set to " + support::number::message(c.beats);
            }
        },
        static_cast<const engine::EngineCommand::variant&>(command));
}

}  // namespace pattern_engine::ipc
