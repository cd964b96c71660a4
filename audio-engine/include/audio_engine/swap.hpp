// audio_engine::swap — the audio-thread owner of the running graphs.
//
// Lives inside the audio processor on the audio thread: applies the controller's commands,
// renders a block at a time, crossfades linearly from the outgoing graph to a new one, runs
// the automations, applies the master gain and makes the output safe (non-finite samples to 0,
// the rest clamped to [-1, 1]). A graph whose fade-out has ended waits in the retired slot
// until the audio processor takes it back to the control thread. Takes no locks, logs nothing;
// a block allocates and releases nothing in the steady state. An automation finds its node once
// per graph; a missing node or control marks the entry `missing` once instead of failing again
// every block. A finished entry (inactive) gives its room to the next new automation, which
// still joins the table at its end: entries run in the order they came.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "audio_engine/automation.hpp"
#include "audio_engine/graph.hpp"
#include "audio_engine/swap/command.hpp"

namespace audio_engine::swap {

// An automation in the table, with its node resolved in the current graph.
struct AutomationEntry {
    std::string id;
    automation::Automation automation;
    std::optional<graph::NodeId> node;
    bool missing = false;  // the current graph has no such node or control
};

inline constexpr std::size_t automation_room = 32;

class GraphSwapper {
public:
    GraphSwapper(std::uint64_t crossfade_samples, std::size_t max_block);

    // Applies one command.
    void drain_commands(command::Command command);

    // Fills the first min(out.size(), max block) samples of `out`.
    void process(std::span<float> out);

    // Empties the retired slot.
    std::optional<graph::DspGraph> take_retired();

    bool fading() const { return fading_; }
    std::uint64_t remaining() const { return remaining_; }
    std::uint64_t crossfade() const { return crossfade_; }
    float master_gain() const { return master_gain_; }
    bool has_current() const { return current_.has_value(); }
    bool has_fading() const { return fading_graph_.has_value(); }
    const std::vector<AutomationEntry>& automations() const { return automations_; }

private:
    void swap_in(graph::DspGraph graph);
    void retire(graph::DspGraph graph);
    void run_automations(std::size_t frames);
    void resolve(AutomationEntry& entry) const;
    void set_automation(command::SetAutomation& c);

    bool fading_ = false;
    std::uint64_t remaining_ = 0;
    std::vector<float> scratch_a_;  // the outgoing graph during a fade
    std::vector<float> scratch_b_;  // the current graph during a fade
    std::vector<AutomationEntry> automations_;
    std::optional<graph::DspGraph> current_;
    std::optional<graph::DspGraph> fading_graph_;
    std::optional<graph::DspGraph> retired_;
    std::uint64_t crossfade_;
    std::size_t max_block_;
    float master_gain_ = 1.0f;
};

}  // namespace audio_engine::swap
