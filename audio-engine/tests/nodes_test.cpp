#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <random>

#include "audio_engine/nodes/adc.hpp"
#include "audio_engine/nodes/dac.hpp"
#include "audio_engine/nodes/gain.hpp"
#include "audio_engine/nodes/oscillator.hpp"

namespace {

using namespace audio_engine::nodes;
using audio_engine::graph::node::DspNode;

// One block with one input (when given) and one output.
void run(DspNode& node, const std::vector<float>* in, std::vector<float>& out) {
    const std::span<const float> ins[] = {in ? std::span<const float>(*in) : std::span<float>()};
    const std::span<float> outs[] = {out};
    node.process(std::span(ins, in ? 1 : 0), outs);
}

TEST(BuiltinNodes, ControlsAreFoundByExactNameCheckedAndSelected) {
    gain::GainNode g;
    oscillator::Oscillator o(48000);
    dac::DacNode d;
    adc::AdcNode a(nullptr);
    for (DspNode* node : std::initializer_list<DspNode*>{&g, &o, &d, &a})
        for (const char* name : {"", "Gain", "gain ", "Freq", "in", "a_long_control_name"})
            EXPECT_EQ(node->set_param(name, 0.5f).error().display(),
                      std::string("parameter not found: ") + name);
    EXPECT_EQ(g.target_gain(), 1.0f);
    const float nan = std::nanf("");
    for (const float f : {20.0f, 20000.0f, std::nextafter(20.0f, 0.0f), 25000.0f, nan})
        EXPECT_EQ(o.set_param("freq", f).has_value(), f == 20.0f || f == 20000.0f) << f;
    EXPECT_EQ(o.set_param("freq", 25000.0f).error().display(),
              "parameter 'freq' value 25000 out of range [20, 20000]");
    EXPECT_EQ(o.frequency(), 20000.0f);
    const std::pair<float, int> steps[] = {{1.0f, 1}, {1.5f, 0},  {2.0f, 2}, {nan, 0},
                                           {1.0f, 1}, {-0.0f, 0}, {2.0f, 2}, {3.0f, 0}};
    for (const auto& [value, waveform] : steps) {
        EXPECT_TRUE(o.set_param("waveform", value));
        EXPECT_EQ(o.waveform(), waveform) << value;
    }
}

TEST(OscillatorNode, FastPhaseWrapGivesTheExactBits) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_int_distribution<int> rates(8000, 192000);
    const float edges[] = {0.0f, 1.0f, std::nextafter(1.0f, 0.0f), std::nextafter(2.0f, 0.0f)};
    for (int i = 0; i < 1'000'000; ++i) {
        const float increment = (20.0f + 19980.0f * unit(rng)) / static_cast<float>(rates(rng));
        if (i >= 4 && increment >= 1.0f) continue;
        const float p = i < 4 ? edges[i] : unit(rng) + increment;  // the edges, then at random
        ASSERT_EQ(std::bit_cast<std::uint32_t>(oscillator::wrap_phase_fast(p)),
                  std::bit_cast<std::uint32_t>(oscillator::wrap_phase(p)))
            << p;
    }
}

TEST(OscillatorNode, WavesFollowTheIdealCurves) {
    // 12000 Hz at 8 kHz steps more than a cycle per sample: the exact wrap.
    for (const auto& [rate, freq, waveform] : {std::tuple{48000, 440.0f, 0.0f},
                                               {44100, 1000.0f, 1.0f},
                                               {96000, 3000.0f, 2.0f},
                                               {8000, 12000.0f, 0.0f}}) {
        oscillator::Oscillator o(rate);
        ASSERT_TRUE(o.set_param("freq", freq) && o.set_param("waveform", waveform));
        std::vector<float> out(480);
        run(o, nullptr, out);
        for (std::size_t k = 0; k < out.size(); ++k) {
            const double cycles = freq * static_cast<double>(k) / rate;
            const double phase = cycles - std::floor(cycles);
            // Saw and square may jump a sample early or late where the phase sits on an edge.
            if (waveform != 0 && std::min({phase, 1 - phase, std::abs(phase - 0.5)}) < 1e-4)
                continue;
            const double ideal = waveform == 0   ? std::sin(2 * std::numbers::pi * phase)
                                 : waveform == 1 ? 2 * phase - 1
                                                 : (phase < 0.5 ? 1 : -1);
            ASSERT_NEAR(out[k], ideal, 2e-3) << rate << " " << freq << " " << k;
        }
        EXPECT_TRUE(o.phase() >= 0.0f && o.phase() < 1.0f);
    }
}

TEST(GainNode, SnapsBeforeTheFirstBlockThenRampsToExactlyItsTarget) {
    gain::GainNode g;
    const std::vector<float> in(64, 1.0f);
    std::vector<float> out(64, 9.0f);
    ASSERT_TRUE(g.set_param("gain", 0.5f));
    run(g, &in, out);
    EXPECT_EQ(out, std::vector<float>(64, 0.5f));
    ASSERT_TRUE(g.set_param("gain", 0.0f));
    run(g, &in, out);
    EXPECT_FLOAT_EQ(out[1], 0.4802f);  // 2 % of the distance per sample
    for (int i = 0; i < 100; ++i)
        run(g, &in, out);
    EXPECT_EQ(out, std::vector<float>(64, 0.0f));  // no subnormal tail
    ASSERT_TRUE(g.set_param("gain", 10.0f));       // beyond the declared range: taken
    EXPECT_EQ(g.target_gain(), 10.0f);
}

TEST(AdcAndDacNodes, CopyWhatTheyHave) {
    auto ring = std::make_shared<adc::CaptureRing>(64);
    for (int i = 1; i <= 10; ++i)
        ASSERT_TRUE(ring->try_push(0.1f * static_cast<float>(i)));
    adc::AdcNode a(ring);
    std::vector<float> out(16, 9.0f), copy(20, 9.0f);
    run(a, nullptr, out);
    EXPECT_EQ(std::pair(out[9], out[10]), std::pair(1.0f, 0.0f));
    dac::DacNode d;
    run(d, &out, copy);
    EXPECT_EQ(std::vector<float>(copy.begin(), copy.begin() + 16), out);
    run(d, nullptr, copy);
    EXPECT_EQ(copy[16], 9.0f);
}

}  // namespace
