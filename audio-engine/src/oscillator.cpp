#include "audio_engine/nodes/oscillator.hpp"

#include <cmath>

#include "wide_clones.hpp"

namespace audio_engine::nodes::oscillator {

using ir::types::ChannelLayout;
using ir::types::ControlDecl;
using ir::types::NodeTypeDecl;
using ir::types::PortDecl;
using ir::types::Rate;

namespace {

constexpr float kTwoPi = 6.2831855f;  // the float nearest 2π
constexpr float kMinFreq = 20.0f;
constexpr float kMaxFreq = 20000.0f;

// 2p - 1 has a single rounding without a fused multiply-add: 2p is exact.
template <std::uint8_t Waveform>
float waveform_value(float phase) {
    if constexpr (Waveform == kSaw) {
        return 2.0f * phase - 1.0f;
    } else if constexpr (Waveform == kSquare) {
        return phase < 0.5f ? 1.0f : -1.0f;
    } else {
        return std::sin(phase * kTwoPi);
    }
}

// Phases to waveform values in place; no sample depends on another, so this is vectorised.
template <std::uint8_t Waveform>
VORLA_WIDE_CLONES void shape(float* samples, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        samples[i] = waveform_value<Waveform>(samples[i]);
}

// One loop per waveform and wrap, so the loop body holds nothing but that waveform's arithmetic.
// The phase is a serial chain through the block: for saw and square, whose values cost little,
// the chain runs alone in a loop of a few instructions, so that the processor can overlap it with
// the work of the nodes around it, and the values follow in one vector pass. Each loop is a
// function of its own: inlined into one body, the compiler saved the sine loop's constants
// around every library call instead of keeping only the phase.
template <std::uint8_t Waveform, class Wrap>
[[gnu::noinline]] float render(std::span<float> out, float phase, float increment, Wrap wrap) {
    if constexpr (Waveform == kSine) {
        for (float& sample : out) {
            sample = waveform_value<Waveform>(phase);
            phase = wrap(increment + phase);
        }
    } else {
        for (float& sample : out) {
            sample = phase;
            phase = wrap(increment + phase);
        }
        shape<Waveform>(out.data(), out.size());
    }
    return phase;
}

template <std::uint8_t Waveform>
float render(std::span<float> out, float phase, float increment) {
    // The exact wrap is the loop's critical path; the fast one gives the same bits whenever
    // phase and increment are in [0, 1). (Lambdas, so that each wrap is its own instance.)
    if (increment >= 0.0f && increment < 1.0f && phase >= 0.0f && phase < 1.0f)
        return render<Waveform>(out, phase, increment, [](float p) { return wrap_phase_fast(p); });
    return render<Waveform>(out, phase, increment, [](float p) { return wrap_phase(p); });
}

}  // namespace

NodeTypeDecl oscillator_type_decl() {
    return NodeTypeDecl{
        .type_id = "oscillator",
        .audio_inputs = {},
        .audio_outputs = {PortDecl{"out", ChannelLayout::Mono}},
        .controls =
            {
                ControlDecl{
                    .name = "freq",
                    .range = {kMinFreq, kMaxFreq},
                    .default_value = 440.0f,
                    .rate = Rate::Control,
                    .unit = "Hz",
                },
                ControlDecl{
                    .name = "waveform",
                    .range = {0.0f, 2.0f},
                    .default_value = 0.0f,
                    .rate = Rate::Control,
                    .unit = std::nullopt,
                },
            },
    };
}

void Oscillator::process(std::span<const std::span<const float>>,
                         std::span<const std::span<float>> outputs) {
    finite_ = false;
    if (outputs.empty() || outputs[0].empty()) return;
    const float increment = frequency_ / sample_rate_;
    finite_ = std::isfinite(increment) && std::isfinite(phase_);
    switch (waveform_) {
        case kSaw:
            phase_ = render<kSaw>(outputs[0], phase_, increment);
            break;
        case kSquare:
            phase_ = render<kSquare>(outputs[0], phase_, increment);
            break;
        default:
            phase_ = render<kSine>(outputs[0], phase_, increment);
            break;
    }
}

graph::node::ParamResult Oscillator::set_param(std::string_view name, float value) {
    if (name == "freq") {
        // Written so that NaN fails the check.
        if (!(value >= kMinFreq && value <= kMaxFreq)) {
            return std::unexpected(
                graph::node::ParamError::out_of_range("freq", value, kMinFreq, kMaxFreq));
        }
        frequency_ = value;
        return {};
    }
    if (name == "waveform") {
        waveform_ = value == 1.0f ? kSaw : value == 2.0f ? kSquare : kSine;
        return {};
    }
    return std::unexpected(graph::node::ParamError::not_found(std::string(name)));
}

void Oscillator::reset(std::uint32_t sample_rate) {
    phase_ = 0.0f;
    sample_rate_ = static_cast<float>(sample_rate);
}

std::expected<std::unique_ptr<graph::node::DspNode>, std::string> OscillatorFactory::create(
    std::uint32_t sample_rate, std::size_t) const {
    return std::make_unique<Oscillator>(sample_rate);
}

}  // namespace audio_engine::nodes::oscillator
