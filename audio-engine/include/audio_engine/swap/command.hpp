// audio_engine::swap::command — what the control thread sends to the audio thread through the
// command ring. Applying a command is the graph swapper's. A SetParam only points at its texts
// (the controller keeps them for as long as the audio side lives), so consuming it releases
// nothing on the audio thread; the other commands own their payloads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "audio_engine/automation.hpp"
#include "audio_engine/graph.hpp"

namespace audio_engine::swap::command {

struct SwapGraph {
    graph::DspGraph graph;
};
struct SetParam {
    std::string_view node_id;
    std::string_view control;
    float value;
};
struct SetMasterGain {
    float gain;
};
struct SetCrossfade {
    std::uint64_t samples;
};
struct SetAutomation {
    std::string id;
    automation::Automation automation;
};
struct ClearAutomation {
    std::string id;
};

struct Command : std::variant<SwapGraph, SetParam, SetMasterGain, SetCrossfade, SetAutomation,
                              ClearAutomation> {
    using variant::variant;
};

}  // namespace audio_engine::swap::command
