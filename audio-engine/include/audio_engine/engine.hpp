// audio_engine::engine — the audio graph engine's two halves, made together by `engine`.
//
// The EngineController lives on the control thread (the host's main loop): it keeps the graph
// description as the single source of truth, applies edits to it, recompiles with node reuse
// and ships graphs, parameters and automations to the audio thread as commands. The
// AudioProcessor lives in the audio callback: it applies the commands at the start of every
// block, renders through the graph swapper and hands graphs that finished fading out back.
// The two share nothing but two lock-free single-producer single-consumer rings (256 commands
// one way, 4 retired graphs the other), and the texts that parameter commands point at;
// neither ever waits on the other. A command that finds the ring full waits, in order, in a
// backlog on the control thread, and goes out as room comes: every later send, and flush(),
// which the host calls once per pass, hands waiting commands over first. A later value for the
// same target (a control, the master gain, the crossfade), or a later automation of the same
// id, replaces one still waiting in place, unless a command it may not overtake (a swap, a
// clear, an automation of that control) stands between them; so between two swaps or clears,
// floods of values and curves add at most one entry per target or id, even while the audio
// side stands still, and nothing is dropped. The processor renders each block with denormals
// flushed to zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "audio_engine/automation.hpp"
#include "audio_engine/graph/compiler.hpp"
#include "audio_engine/ir.hpp"
#include "audio_engine/protocol.hpp"
#include "audio_engine/registry.hpp"
#include "audio_engine/swap.hpp"
#include "support/spsc.hpp"

namespace audio_engine::engine {

using graph::compiler::CompileError;
using Result = std::expected<void, CompileError>;

inline constexpr std::size_t command_ring_slots = 256;
inline constexpr std::size_t retired_ring_slots = 4;

struct EngineConfig {
    std::size_t max_block;       // largest block; the compile block size
    std::size_t channels;        // device channels, carried only
    std::uint32_t sample_rate;   // for node factories and automation periods
    std::uint32_t crossfade_ms;  // initial crossfade
};

struct EngineSnapshot {
    std::vector<ir::NodeInstance> nodes;
    std::vector<ir::ConnectionIr> connections;
    std::map<std::string, std::pair<std::string, std::string>> exposed_controls;
    std::map<std::string, float> control_values;
};

// The node ids and control names that SetParam commands point at. Added to on the control
// thread, never removed, and kept alive by both halves, so a command still in the ring never
// outlives its texts and consuming one releases nothing on the audio thread.
class Names {
public:
    std::string_view intern(std::string_view text);

private:
    std::set<std::string, std::less<>> texts_;  // nodes never move
};

using CommandRing = support::SpscRing<swap::command::Command>;
using RetiredRing = support::SpscRing<graph::DspGraph>;

class EngineController {
public:
    EngineController(EngineConfig config, std::shared_ptr<CommandRing> commands,
                     std::shared_ptr<RetiredRing> retired, std::shared_ptr<Names> names);

    // Applies one audio request; graph edits are kept even when their compile fails.
    Result handle_message(protocol::ClientMessage message);
    // Compiles the stored description, reusing the newest handed-back graph, re-applies the
    // stored control values (except "gate") and sends the graph.
    Result recompile_and_send();

    // Stores a host-made node (the audio input) under an id for the next compiles to take.
    void inject_node(std::string id, std::unique_ptr<graph::node::DspNode> node);
    std::optional<std::pair<std::string, std::string>> resolve_label(std::string_view label) const;
    std::vector<std::string> list_node_types() const;
    void send_automation(std::string id, automation::Automation automation);
    void clear_automation(std::string id);
    void set_crossfade_samples(std::uint64_t samples);
    // Hands waiting commands to the ring, oldest first, as far as it has room; returns how many
    // still wait.
    std::size_t flush();
    std::size_t waiting() const { return backlog_.size(); }
    // The control values are those handed to the audio side, not those still waiting.
    EngineSnapshot snapshot() const;

    registry::NodeRegistry& registry() { return registry_; }
    const ir::GraphIr& graph() const { return graph_; }
    const EngineConfig& config() const { return config_; }
    // The gain last handed to the audio side.
    float master_gain() const { return master_gain_; }

private:
    // A command that found the ring full; `label` names the control value it carries.
    struct Waiting {
        swap::command::Command command;
        std::optional<std::string> label;
    };
    // What a later command may replace a waiting one for: a control's node and control names,
    // an automation's id, the master gain or the crossfade.
    enum class KeyKind { Control, Automation, Gain, Crossfade };
    using Key = std::tuple<KeyKind, std::string_view, std::string_view>;

    // Pushes without waiting behind the backlog, or joins it.
    void send(swap::command::Command command, std::optional<std::string> label = std::nullopt);
    void wait(swap::command::Command command, std::optional<std::string> label);
    std::optional<Key> key_of(const swap::command::Command& command) const;
    // Pushes one command; on success records what the audio side now holds.
    bool push(swap::command::Command& command, std::optional<std::string>& label);
    // The graph edits, without logging or recompiling (also used inside graph_batch).
    bool apply_edit(protocol::ClientMessage& message);
    std::string labels_debug() const;

    registry::NodeRegistry registry_;
    ir::GraphIr graph_;
    std::map<std::string, std::pair<std::string, std::string>> labels_;
    std::map<std::string, float> control_values_;  // accepted, for the next compiles
    std::map<std::string, float> sent_values_;     // handed to the audio side
    std::deque<Waiting> backlog_;
    std::uint64_t first_waiting_ = 0;                 // sequence number of backlog_.front()
    std::uint64_t overtake_from_ = 0;              // commands waiting from here on may be replaced
    std::map<Key, std::uint64_t> waiting_;         // the newest waiting command per key
    std::map<Key, std::uint64_t> automations_at_;  // the newest waiting automation per control
    std::shared_ptr<CommandRing> commands_;
    std::shared_ptr<RetiredRing> retired_;
    std::shared_ptr<Names> names_;
    std::optional<graph::DspGraph> held_;
    graph::compiler::InjectedNodes injected_;
    EngineConfig config_;
    float master_gain_ = 1.0f;
};

class AudioProcessor {
public:
    AudioProcessor(swap::GraphSwapper swapper, std::shared_ptr<CommandRing> commands,
                   std::shared_ptr<RetiredRing> retired, std::shared_ptr<const Names> names);

    // One block on the audio thread, with denormals flushed (the caller's mode is restored):
    // pending commands, render, hand back a retired graph. Writes at most max_block samples
    // of `out`; an empty `out` runs the automations with no advance and renders nothing.
    void process(std::span<float> out);

    const swap::GraphSwapper& swapper() const { return swapper_; }

private:
    swap::GraphSwapper swapper_;
    std::shared_ptr<CommandRing> commands_;
    std::shared_ptr<RetiredRing> retired_;
    std::shared_ptr<const Names> names_;
};

// The built-in node types as the engine starts with them: oscillator, dac and gain with their
// factories, then adc_input declared without one (its only instance is injected).
void register_builtin_types(registry::NodeRegistry& registry);

std::pair<EngineController, AudioProcessor> engine(EngineConfig config);

}  // namespace audio_engine::engine
