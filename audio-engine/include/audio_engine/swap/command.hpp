// audio_engine::swap::command — what the control thread sends to the audio thread through the
// command ring. Each command owns its payload; applying it is the graph swapper's.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "audio_engine/automation.hpp"
#include "audio_engine/graph.hpp"

namespace audio_engine::swap::command {

struct SwapGraph {
    graph::DspGraph graph;
};
struct SetParam {
    std::string node_id;
    std::string control;
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
