// audio_engine::nodes::oscillator — a sine, saw or square oscillator ("oscillator").
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "audio_engine/graph/node.hpp"
#include "audio_engine/ir/types.hpp"

namespace audio_engine::nodes::oscillator {

// "oscillator": output "out", controls "freq" (20, 20000) default 440 Hz and "waveform" (0, 2).
ir::types::NodeTypeDecl oscillator_type_decl();

// The phase update p - floor(p), and the same for p in [0, 2): one compare instead of a floor
// (p - 1 is exact there).
inline float wrap_phase(float p) {
    return p - std::floor(p);
}
inline float wrap_phase_fast(float p) {
    return p >= 1.0f ? p - 1.0f : p;
}

enum Waveform : std::uint8_t { kSine = 0, kSaw = 1, kSquare = 2 };

class Oscillator final : public graph::node::DspNode {
public:
    explicit Oscillator(std::uint32_t sample_rate)
        : sample_rate_(static_cast<float>(sample_rate)) {}

    void process(std::span<const std::span<const float>> inputs,
                 std::span<const std::span<float>> outputs) override;
    std::size_t num_inputs() const override { return 0; }
    std::size_t num_outputs() const override { return 1; }
    bool fills_outputs() const override { return true; }
    // Every waveform of a finite phase is finite; the phase stays finite while the increment is.
    bool outputs_finite() const override { return finite_; }
    // "freq" in [20, 20000] or OutOfRange; "waveform" exactly 1 saw, exactly 2 square, else sine.
    graph::node::ParamResult set_param(std::string_view name, float value) override;
    // Phase back to 0 at the new rate; frequency and waveform stay.
    void reset(std::uint32_t sample_rate) override;

    float phase() const { return phase_; }
    float frequency() const { return frequency_; }
    float sample_rate() const { return sample_rate_; }
    std::uint8_t waveform() const { return waveform_; }

private:
    float phase_ = 0.0f;  // cycles, in [0, 1)
    float frequency_ = 440.0f;
    float sample_rate_;
    std::uint8_t waveform_ = kSine;
    bool finite_ = false;
};

class OscillatorFactory final : public graph::node::NodeFactory {
public:
    std::expected<std::unique_ptr<graph::node::DspNode>, std::string> create(
        std::uint32_t sample_rate, std::size_t block_size) const override;
};

}  // namespace audio_engine::nodes::oscillator
