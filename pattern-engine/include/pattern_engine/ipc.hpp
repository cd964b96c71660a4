// pattern_engine::ipc — turns decoded pattern commands into engine commands, and engine
// commands into the text of the success reply.
//
// Both run on the IPC thread, one request at a time, and keep no state. Patterns are validated
// and compiled here, so the main loop only ever receives commands that apply cleanly. A
// top-level "Batch" is taken apart by the IPC server, which calls compile_command per element.
#pragma once

#include <expected>
#include <optional>
#include <string>

#include "pattern_engine/engine.hpp"
#include "pattern_engine/ipc/protocol.hpp"

namespace pattern_engine::ipc {

// An engine command; none for "Ping"; or an error text for the client: "compile error: ..."
// when the pattern tree is refused, "nested Batch is not allowed" for any "Batch".
// Numbers and slot names are copied unchecked (the engine checks tempo values when applying).
std::expected<std::optional<engine::EngineCommand>, std::string> compile_command(
    const protocol::ClientMessage& message);

// The success text, e.g. "pattern set on d1", "bpm set to 92.5".
std::string describe(const engine::EngineCommand& command);

}  // namespace pattern_engine::ipc
