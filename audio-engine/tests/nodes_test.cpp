#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <numbers>
#include <vector>

#include "audio_engine/nodes/adc.hpp"
#include "audio_engine/nodes/dac.hpp"
#include "audio_engine/nodes/gain.hpp"
#include "audio_engine/nodes/oscillator.hpp"
#include "test_nodes.hpp"

namespace {

using audio_engine::graph::node::DspNode;
using audio_engine::graph::node::ParamError;
using audio_engine::ir::types::ChannelLayout;
using audio_engine::ir::types::ControlDecl;
using audio_engine::ir::types::NodeTypeDecl;
using audio_engine::ir::types::PortDecl;
using audio_engine::ir::types::Rate;
using audio_engine::nodes::adc::AdcNode;
using audio_engine::nodes::adc::CaptureRing;
using audio_engine::nodes::dac::DacFactory;
using audio_engine::nodes::dac::DacNode;
using audio_engine::nodes::gain::GainFactory;
using audio_engine::nodes::gain::GainNode;
using audio_engine::nodes::oscillator::Oscillator;
using audio_engine::nodes::oscillator::OscillatorFactory;

using InList = std::vector<std::span<const float>>;
using OutList = std::vector<std::span<float>>;

constexpr float kTwoPi = 6.2831855f;
constexpr float kSentinel = 123.0f;

// Runs one block with one input (if given) and one output.
void run(DspNode& node, const std::vector<float>* in, std::vector<float>& out) {
    InList ins;
    if (in) ins.emplace_back(*in);
    OutList outs{std::span<float>(out)};
    node.process(ins, outs);
}

std::vector<float> ramp_input(std::size_t n) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = 0.25f + 0.01f * static_cast<float>(i);
    return v;
}

// One gain step, each operation rounded to float on its own (volatile blocks fusing).
float gain_step(float& current, float target, float coefficient) {
    volatile float d = target - current;
    volatile float scaled = coefficient * d;
    volatile float next = current + scaled;
    current = next;
    return current;
}

// The oscillator's phase recurrence, in float.
float next_phase(float phase, float increment) {
    volatile float p = increment + phase;
    return p - std::floor(p);
}

std::unique_ptr<DspNode> make(const audio_engine::graph::node::NodeFactory& factory,
                              std::uint32_t rate = 48000, std::size_t block = 64) {
    auto node = factory.create(rate, block);
    EXPECT_TRUE(node);
    return std::move(*node);
}

// ---- declarations

TEST(BuiltinDecl, Adc) {
    EXPECT_EQ(audio_engine::nodes::adc::adc_type_decl(),
              (NodeTypeDecl{"adc_input", {}, {PortDecl{"out", ChannelLayout::Mono}}, {}}));
}

TEST(BuiltinDecl, Dac) {
    EXPECT_EQ(audio_engine::nodes::dac::dac_type_decl(),
              (NodeTypeDecl{"dac",
                            {PortDecl{"in", ChannelLayout::Mono}},
                            {PortDecl{"out", ChannelLayout::Mono}},
                            {}}));
}

TEST(BuiltinDecl, Gain) {
    const NodeTypeDecl d = audio_engine::nodes::gain::gain_type_decl();
    EXPECT_EQ(d, (NodeTypeDecl{"gain",
                               {PortDecl{"in", ChannelLayout::Mono}},
                               {PortDecl{"out", ChannelLayout::Mono}},
                               {ControlDecl{"gain", {0.0f, 4.0f}, 1.0f, Rate::Control, {}}}}));
    ASSERT_EQ(d.controls.size(), 1u);
    EXPECT_FALSE(d.controls[0].unit.has_value());
}

TEST(BuiltinDecl, Oscillator) {
    const NodeTypeDecl d = audio_engine::nodes::oscillator::oscillator_type_decl();
    EXPECT_EQ(d, (NodeTypeDecl{"oscillator",
                               {},
                               {PortDecl{"out", ChannelLayout::Mono}},
                               {ControlDecl{"freq", {20.0f, 20000.0f}, 440.0f, Rate::Control, "Hz"},
                                ControlDecl{"waveform", {0.0f, 2.0f}, 0.0f, Rate::Control, {}}}}));
}

// ---- gain

TEST(GainFactory, StartState) {
    auto node = make(GainFactory{});
    auto& gain = static_cast<GainNode&>(*node);
    EXPECT_EQ(gain.current_gain(), 1.0f);
    EXPECT_EQ(gain.target_gain(), 1.0f);
    EXPECT_EQ(gain.coefficient(), 0.02f);
    EXPECT_TRUE(gain.snap());
    EXPECT_EQ(gain.num_inputs(), 1u);
    EXPECT_EQ(gain.num_outputs(), 1u);
}

TEST(GainProcess, UnityPassesInputThrough) {
    GainNode gain;
    const auto in = ramp_input(64);
    std::vector<float> out(64, kSentinel);
    run(gain, &in, out);
    EXPECT_EQ(out, in);
}

TEST(GainProcess, SetBeforeFirstBlockAppliesFromFirstSample) {
    GainNode gain;
    ASSERT_TRUE(gain.set_param("gain", 0.5f));
    EXPECT_EQ(gain.current_gain(), 0.5f);
    const auto in = ramp_input(64);
    std::vector<float> out(64, kSentinel);
    run(gain, &in, out);
    for (std::size_t i = 0; i < 64; ++i)
        EXPECT_EQ(out[i], in[i] * 0.5f) << i;
    EXPECT_FALSE(gain.snap());
}

TEST(GainProcess, SetAfterBlockRampsTwoPercentPerSample) {
    GainNode gain;
    const auto in = ramp_input(64);
    std::vector<float> out(64);
    run(gain, &in, out);
    ASSERT_TRUE(gain.set_param("gain", 0.5f));
    EXPECT_EQ(gain.current_gain(), 1.0f);
    EXPECT_EQ(gain.target_gain(), 0.5f);

    float current = 1.0f;
    for (int block = 0; block < 3; ++block) {
        run(gain, &in, out);
        for (std::size_t i = 0; i < 64; ++i) {
            const float before = current;
            gain_step(current, 0.5f, 0.02f);
            volatile float expected = in[i] * current;
            ASSERT_EQ(out[i], expected) << block << ":" << i;
            // 2 % of the remaining distance, give or take the float rounding.
            EXPECT_NEAR(before - current, 0.02 * (before - 0.5), 1e-7);
            EXPECT_LT(current, before);
            EXPECT_GT(current, 0.5f);
        }
        EXPECT_EQ(gain.current_gain(), current);
    }
}

TEST(GainProcess, FirstRampSamples) {
    GainNode gain;
    const std::vector<float> in(4, 1.0f);
    std::vector<float> out(4);
    run(gain, &in, out);
    ASSERT_TRUE(gain.set_param("gain", 0.0f));
    run(gain, &in, out);
    EXPECT_FLOAT_EQ(out[0], 0.98f);
    EXPECT_FLOAT_EQ(out[1], 0.9604f);
    EXPECT_FLOAT_EQ(out[2], 0.941192f);
}

TEST(GainProcess, ShorterOutputBoundsTheBlock) {
    GainNode gain;
    ASSERT_TRUE(gain.set_param("gain", 2.0f));
    const auto in = ramp_input(64);
    std::vector<float> out(32, kSentinel);
    run(gain, &in, out);
    for (std::size_t i = 0; i < 32; ++i)
        EXPECT_EQ(out[i], in[i] * 2.0f) << i;
}

TEST(GainProcess, ShorterInputLeavesTheRestOfOutput) {
    GainNode gain;
    const auto in = ramp_input(32);
    std::vector<float> out(64, kSentinel);
    run(gain, &in, out);
    for (std::size_t i = 0; i < 32; ++i)
        EXPECT_EQ(out[i], in[i]);
    for (std::size_t i = 32; i < 64; ++i)
        EXPECT_EQ(out[i], kSentinel) << i;
}

TEST(GainProcess, SkippedBlockStillEndsTheSnap) {
    GainNode gain;
    std::vector<float> out(8, kSentinel);
    run(gain, nullptr, out);  // no input block: nothing written
    for (float s : out)
        EXPECT_EQ(s, kSentinel);
    EXPECT_FALSE(gain.snap());
    ASSERT_TRUE(gain.set_param("gain", 0.5f));
    EXPECT_EQ(gain.current_gain(), 1.0f);  // ramps instead of jumping
}

TEST(GainProcess, EmptyListsWriteNothing) {
    GainNode gain;
    const auto in = ramp_input(8);
    InList ins{std::span<const float>(in)};
    gain.process(ins, {});
    std::vector<float> out(8, kSentinel);
    OutList outs{std::span<float>(out)};
    gain.process({}, outs);
    for (float s : out)
        EXPECT_EQ(s, kSentinel);
    // An empty block is skipped too and keeps the gain.
    std::vector<float> empty;
    run(gain, &empty, out);
    EXPECT_EQ(gain.current_gain(), 1.0f);
}

TEST(GainParam, AnyValueAccepted) {
    GainNode gain;
    EXPECT_TRUE(gain.set_param("gain", 10.0f));
    EXPECT_EQ(gain.target_gain(), 10.0f);
    EXPECT_TRUE(gain.set_param("gain", -1.0f));
    EXPECT_EQ(gain.target_gain(), -1.0f);
    const auto in = ramp_input(4);
    std::vector<float> out(4);
    run(gain, &in, out);
    EXPECT_EQ(out[0], -in[0]);
}

TEST(GainParam, UnknownNameNotFound) {
    GainNode gain;
    for (const char* name : {"x", "Gain", "gain ", "", "freq"}) {
        auto r = gain.set_param(name, 0.5f);
        ASSERT_FALSE(r) << name;
        EXPECT_EQ(r.error(), ParamError::not_found(name));
        EXPECT_EQ(r.error().display(), std::string("parameter not found: ") + name);
    }
    EXPECT_EQ(gain.target_gain(), 1.0f);
    EXPECT_TRUE(gain.snap());
}

TEST(GainReset, DoesNothing) {
    GainNode gain;
    const auto in = ramp_input(4);
    std::vector<float> out(4);
    run(gain, &in, out);
    ASSERT_TRUE(gain.set_param("gain", 0.5f));
    run(gain, &in, out);
    const float level = gain.current_gain();
    gain.reset(44100);
    EXPECT_EQ(gain.current_gain(), level);
    EXPECT_EQ(gain.target_gain(), 0.5f);
    EXPECT_FALSE(gain.snap());
}

// ---- oscillator

TEST(OscillatorFactory, StartState) {
    auto node = make(OscillatorFactory{}, 44100, 256);
    auto& osc = static_cast<Oscillator&>(*node);
    EXPECT_EQ(osc.phase(), 0.0f);
    EXPECT_EQ(osc.frequency(), 440.0f);
    EXPECT_EQ(osc.sample_rate(), 44100.0f);
    EXPECT_EQ(osc.waveform(), 0);
    EXPECT_EQ(osc.num_inputs(), 0u);
    EXPECT_EQ(osc.num_outputs(), 1u);
}

TEST(OscillatorProcess, PhaseAfterOneSample) {
    Oscillator osc(48000);
    std::vector<float> out(1);
    run(osc, nullptr, out);
    EXPECT_EQ(osc.phase(), 440.0f / 48000.0f);
    EXPECT_EQ(out[0], 0.0f);
}

TEST(OscillatorProcess, GoldenSine) {
    Oscillator osc(48000);
    const float increment = 440.0f / 48000.0f;
    float phase = 0.0f;
    std::vector<float> out(64);
    for (int block = 0; block < 20; ++block) {
        run(osc, nullptr, out);
        for (std::size_t i = 0; i < out.size(); ++i) {
            volatile float arg = phase * kTwoPi;
            ASSERT_EQ(out[i], std::sin(static_cast<float>(arg))) << block << ":" << i;
            phase = next_phase(phase, increment);
        }
        ASSERT_EQ(osc.phase(), phase);
    }
}

TEST(OscillatorProcess, SineMatchesTheIdealWave) {
    Oscillator osc(48000);
    std::vector<float> out(480);
    run(osc, nullptr, out);
    for (std::size_t n = 0; n < out.size(); ++n) {
        const double ideal =
            std::sin(2.0 * std::numbers::pi * 440.0 * static_cast<double>(n) / 48000.0);
        EXPECT_NEAR(out[n], ideal, 1e-4) << n;
    }
}

TEST(OscillatorProcess, PhaseStaysInUnitInterval) {
    for (std::uint32_t rate : {48000u, 44100u, 8000u}) {
        for (float freq : {20.0f, 440.0f, 12345.6f, 20000.0f}) {
            Oscillator osc(rate);
            ASSERT_TRUE(osc.set_param("freq", freq));
            std::vector<float> out(64);
            for (int block = 0; block < 2000; ++block) {
                run(osc, nullptr, out);
                ASSERT_GE(osc.phase(), 0.0f) << rate << " " << freq;
                ASSERT_LT(osc.phase(), 1.0f) << rate << " " << freq;
            }
        }
    }
}

TEST(OscillatorProcess, SawRisesFromMinusOne) {
    Oscillator osc(48000);
    ASSERT_TRUE(osc.set_param("waveform", 1.0f));
    EXPECT_EQ(osc.waveform(), 1);
    ASSERT_TRUE(osc.set_param("freq", 1000.0f));  // 48 samples per cycle
    std::vector<float> out(480);
    run(osc, nullptr, out);
    EXPECT_EQ(out[0], -1.0f);
    const float increment = 1000.0f / 48000.0f;
    float phase = 0.0f;
    int wraps = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i], std::fma(2.0f, phase, -1.0f)) << i;
        EXPECT_GE(out[i], -1.0f);
        EXPECT_LT(out[i], 1.0f);
        if (i > 0) {
            if (out[i] < out[i - 1]) {
                ++wraps;
            } else {
                EXPECT_GT(out[i], out[i - 1]) << i;
            }
        }
        phase = next_phase(phase, increment);
    }
    EXPECT_GE(wraps, 9);
    EXPECT_LE(wraps, 10);
}

TEST(OscillatorProcess, Square) {
    Oscillator osc(48000);
    ASSERT_TRUE(osc.set_param("waveform", 2.0f));
    EXPECT_EQ(osc.waveform(), 2);
    std::vector<float> out(256);
    run(osc, nullptr, out);
    const float increment = 440.0f / 48000.0f;
    float phase = 0.0f;
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i], phase < 0.5f ? 1.0f : -1.0f) << i;
        phase = next_phase(phase, increment);
    }
}

TEST(OscillatorProcess, EmptyOutputKeepsPhase) {
    Oscillator osc(48000);
    osc.process({}, {});
    EXPECT_EQ(osc.phase(), 0.0f);
    std::vector<float> empty;
    run(osc, nullptr, empty);
    EXPECT_EQ(osc.phase(), 0.0f);
}

TEST(OscillatorParam, FreqOutOfRange) {
    Oscillator osc(48000);
    auto r = osc.set_param("freq", 25000.0f);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), ParamError::out_of_range("freq", 25000.0f, 20.0f, 20000.0f));
    EXPECT_EQ(r.error().display(), "parameter 'freq' value 25000 out of range [20, 20000]");
    EXPECT_EQ(osc.frequency(), 440.0f);

    r = osc.set_param("freq", 19.5f);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "parameter 'freq' value 19.5 out of range [20, 20000]");
    EXPECT_FALSE(osc.set_param("freq", std::nextafter(20.0f, 0.0f)));
    EXPECT_FALSE(osc.set_param("freq", std::nextafter(20000.0f, 1e9f)));
    EXPECT_FALSE(osc.set_param("freq", -440.0f));
    EXPECT_FALSE(osc.set_param("freq", std::numeric_limits<float>::infinity()));
    r = osc.set_param("freq", std::numeric_limits<float>::quiet_NaN());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "parameter 'freq' value NaN out of range [20, 20000]");
    EXPECT_EQ(osc.frequency(), 440.0f);
}

TEST(OscillatorParam, FreqBoundsAccepted) {
    Oscillator osc(48000);
    EXPECT_TRUE(osc.set_param("freq", 20.0f));
    EXPECT_EQ(osc.frequency(), 20.0f);
    EXPECT_TRUE(osc.set_param("freq", 20000.0f));
    EXPECT_EQ(osc.frequency(), 20000.0f);
    EXPECT_TRUE(osc.set_param("freq", 1000.5f));
    EXPECT_EQ(osc.frequency(), 1000.5f);
}

TEST(OscillatorParam, WaveformSelection) {
    Oscillator osc(48000);
    struct Case {
        float value;
        int waveform;
    };
    const Case cases[] = {{1.0f, 1}, {0.0f, 0},
                          {2.0f, 2}, {1.5f, 0},
                          {1.0f, 1}, {3.0f, 0},
                          {2.0f, 2}, {-1.0f, 0},
                          {1.0f, 1}, {std::numeric_limits<float>::quiet_NaN(), 0},
                          {2.0f, 2}, {std::nextafter(1.0f, 2.0f), 0},
                          {1.0f, 1}, {-0.0f, 0}};
    for (const Case& c : cases) {
        EXPECT_TRUE(osc.set_param("waveform", c.value)) << c.value;
        EXPECT_EQ(osc.waveform(), c.waveform) << c.value;
    }
}

TEST(OscillatorParam, WaveformOneAndAHalfGivesSine) {
    Oscillator osc(48000);
    ASSERT_TRUE(osc.set_param("waveform", 1.0f));
    ASSERT_TRUE(osc.set_param("waveform", 1.5f));
    std::vector<float> out(16);
    run(osc, nullptr, out);
    float phase = 0.0f;
    for (float s : out) {
        EXPECT_EQ(s, std::sin(phase * kTwoPi));
        phase = next_phase(phase, 440.0f / 48000.0f);
    }
}

TEST(OscillatorParam, UnknownNameNotFound) {
    Oscillator osc(48000);
    for (const char* name : {"x", "Freq", "frequency", "gain", ""}) {
        auto r = osc.set_param(name, 100.0f);
        ASSERT_FALSE(r) << name;
        EXPECT_EQ(r.error().display(), std::string("parameter not found: ") + name);
    }
    EXPECT_EQ(osc.frequency(), 440.0f);
    EXPECT_EQ(osc.waveform(), 0);
}

TEST(OscillatorReset, ZeroesPhaseAndTakesTheRate) {
    Oscillator osc(48000);
    ASSERT_TRUE(osc.set_param("freq", 1000.0f));
    ASSERT_TRUE(osc.set_param("waveform", 1.0f));
    std::vector<float> out(37);
    run(osc, nullptr, out);
    ASSERT_NE(osc.phase(), 0.0f);
    osc.reset(44100);
    EXPECT_EQ(osc.phase(), 0.0f);
    EXPECT_EQ(osc.sample_rate(), 44100.0f);
    EXPECT_EQ(osc.frequency(), 1000.0f);
    EXPECT_EQ(osc.waveform(), 1);
    std::vector<float> one(1);
    run(osc, nullptr, one);
    EXPECT_EQ(one[0], -1.0f);
    EXPECT_EQ(osc.phase(), 1000.0f / 44100.0f);
}

// ---- dac

TEST(DacFactory, MakesADac) {
    auto node = make(DacFactory{});
    EXPECT_NE(dynamic_cast<DacNode*>(node.get()), nullptr);
    EXPECT_EQ(node->num_inputs(), 1u);
    EXPECT_EQ(node->num_outputs(), 1u);
}

TEST(DacProcess, CopiesInput) {
    DacNode dac;
    const auto in = ramp_input(64);
    std::vector<float> out(64, kSentinel);
    run(dac, &in, out);
    EXPECT_EQ(out, in);
}

TEST(DacProcess, CopiesTheShorterLength) {
    DacNode dac;
    const auto in = ramp_input(16);
    std::vector<float> out(32, kSentinel);
    run(dac, &in, out);
    for (std::size_t i = 0; i < 16; ++i)
        EXPECT_EQ(out[i], in[i]);
    for (std::size_t i = 16; i < 32; ++i)
        EXPECT_EQ(out[i], kSentinel);

    const auto long_in = ramp_input(64);
    std::vector<float> short_out(8, kSentinel);
    run(dac, &long_in, short_out);
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(short_out[i], long_in[i]);
}

TEST(DacProcess, EmptyInputListLeavesOutput) {
    DacNode dac;
    std::vector<float> out(64, kSentinel);
    run(dac, nullptr, out);
    for (float s : out)
        EXPECT_EQ(s, kSentinel);
    const auto in = ramp_input(4);
    InList ins{std::span<const float>(in)};
    dac.process(ins, {});
}

TEST(DacParam, AlwaysNotFound) {
    DacNode dac;
    for (const char* name : {"x", "gain", "in", ""}) {
        auto r = dac.set_param(name, 1.0f);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), std::string("parameter not found: ") + name);
    }
    dac.reset(44100);
}

// ---- adc

TEST(AdcProcess, TakesRingSamplesThenZeros) {
    auto ring = std::make_shared<CaptureRing>(256);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(ring->try_push(0.1f * static_cast<float>(i + 1)));
    AdcNode adc(ring);
    std::vector<float> out(64, kSentinel);
    run(adc, nullptr, out);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(out[i], 0.1f * static_cast<float>(i + 1)) << i;
    for (int i = 10; i < 64; ++i)
        EXPECT_EQ(out[i], 0.0f) << i;
    EXPECT_TRUE(ring->empty());

    // The host keeps feeding the same ring.
    ASSERT_TRUE(ring->try_push(0.75f));
    run(adc, nullptr, out);
    EXPECT_EQ(out[0], 0.75f);
    for (int i = 1; i < 64; ++i)
        EXPECT_EQ(out[i], 0.0f);
}

TEST(AdcProcess, LeavesTheRestInTheRing) {
    auto ring = std::make_shared<CaptureRing>(256);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(ring->try_push(static_cast<float>(i)));
    AdcNode adc(ring);
    std::vector<float> out(64);
    run(adc, nullptr, out);
    EXPECT_EQ(out[63], 63.0f);
    EXPECT_EQ(ring->size(), 36u);
    run(adc, nullptr, out);
    EXPECT_EQ(out[0], 64.0f);
    EXPECT_EQ(out[35], 99.0f);
    EXPECT_EQ(out[36], 0.0f);
}

TEST(AdcProcess, NoRingOrNoOutput) {
    AdcNode adc(nullptr);
    std::vector<float> out(8, kSentinel);
    run(adc, nullptr, out);
    for (float s : out)
        EXPECT_EQ(s, 0.0f);

    auto ring = std::make_shared<CaptureRing>(4);
    ASSERT_TRUE(ring->try_push(1.0f));
    AdcNode fed(ring);
    fed.process({}, {});
    EXPECT_EQ(ring->size(), 1u);
    EXPECT_EQ(fed.num_inputs(), 0u);
    EXPECT_EQ(fed.num_outputs(), 1u);
}

TEST(AdcParam, AlwaysNotFound) {
    AdcNode adc(std::make_shared<CaptureRing>(4));
    for (const char* name : {"x", "gain", ""}) {
        auto r = adc.set_param(name, 1.0f);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), std::string("parameter not found: ") + name);
    }
    adc.reset(44100);
}

// ---- allocation

int* volatile g_sink = nullptr;

TEST(BuiltinAlloc, CounterSeesAllocations) {
    std::unique_ptr<int[]> p;
    EXPECT_GE(test_nodes::count_allocations([&] { p = std::make_unique<int[]>(100); }), 1u);
    g_sink = p.get();
}

TEST(BuiltinAlloc, ProcessAllocatesNothing) {
    auto ring = std::make_shared<CaptureRing>(256);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(ring->try_push(0.5f));
    std::vector<std::unique_ptr<DspNode>> nodes;
    nodes.push_back(make(OscillatorFactory{}));
    nodes.push_back(make(DacFactory{}));
    nodes.push_back(make(GainFactory{}));
    nodes.push_back(std::make_unique<AdcNode>(ring));
    for (const auto& waveform : {0.0f, 1.0f, 2.0f}) {
        auto osc = make(OscillatorFactory{});
        ASSERT_TRUE(osc->set_param("waveform", waveform));
        nodes.push_back(std::move(osc));
    }
    ASSERT_TRUE(nodes[2]->set_param("gain", 0.5f));

    const auto in = ramp_input(64);
    std::vector<float> out(64);
    const InList ins{std::span<const float>(in)};
    const OutList outs{std::span<float>(out)};
    for (const auto& node : nodes) {
        EXPECT_EQ(test_nodes::count_allocations([&] {
                      for (int block = 0; block < 4; ++block) {
                          node->process(ins, outs);
                          node->process({}, outs);
                          node->process(ins, {});
                      }
                  }),
                  0u);
    }
    // A gain change between blocks still leaves process() allocation-free.
    ASSERT_TRUE(nodes[2]->set_param("gain", 2.0f));
    EXPECT_EQ(test_nodes::count_allocations([&] { nodes[2]->process(ins, outs); }), 0u);
}

}  // namespace
