// A Faust node in the engine: the audio side takes no heap while it plays, is set, automated and
// swapped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "../../audio-engine/tests/test_nodes.hpp"
#include "audio_engine/engine.hpp"
#include "audio_faust/factory.hpp"

namespace {

using namespace audio_engine;
namespace msg = protocol;

TEST(FaustInTheEngine, TheAudioThreadNeitherAllocatesNorReleases) {
    auto [controller, processor] = engine::engine({256, 2, 48000, 1});
    // A one-pole filter with a gain: state and two controls.
    auto faust = audio_faust::factory::FaustFactory::compile(
        "lp", R"(process = + ~ *(hslider("feedback_amount_of_the_filter", 0.5, 0, 0.99, 0.01)) :)"
              R"( *(hslider("output_gain_of_the_filter", 0.5, 0, 1, 0.01));)");
    ASSERT_TRUE(faust) << faust.error();
    auto decl = faust->probe_type_decl("faust:lowpass_with_a_long_type_id");
    ASSERT_TRUE(decl) << decl.error();
    ASSERT_TRUE(controller.registry().register_type(
        std::move(*decl), std::make_unique<audio_faust::factory::FaustFactory>(std::move(*faust))));
    ASSERT_TRUE(controller.handle_message(msg::LoadGraph{
        {{{"osc", "oscillator", {{"waveform", 2.0f}}},
          {"filter_on_the_main_bus", "faust:lowpass_with_a_long_type_id", {}},
          {"out", "dac", {}}},
         {{"osc", "out", "filter_on_the_main_bus", "in"},
          {"filter_on_the_main_bus", "out", "out", "in"}},
         {{"level_of_the_main_bus", {"filter_on_the_main_bus", "output_gain_of_the_filter"}},
          {"feedback_of_the_main_bus",
           {"filter_on_the_main_bus", "feedback_amount_of_the_filter"}}}}}));
    std::vector<float> out(256);
    processor.process(out);
    // Each request on the control side, then blocks on the audio side that count their heap.
    const msg::ClientMessage requests[] = {
        msg::SetControl{"level_of_the_main_bus", 0.25f},
        msg::SetAutomation{"sweeping_the_feedback_of_the_main_bus", "feedback_of_the_main_bus",
                           "tri", 0.1f, 0.9f, 0.01, false},
        msg::AddNode{"another_gain_on_the_bus", "gain", {}},  // a swap: a new Faust instance
        msg::SetControl{"level_of_the_main_bus", 0.75f},
        msg::RemoveNode{"another_gain_on_the_bus"},  // a swap that reuses the first instance
        msg::SetMasterGain{0.5f},
    };
    for (const auto& request : requests) {
        ASSERT_TRUE(controller.handle_message(request));
        float peak = 0.0f;
        const auto use = test_nodes::heap_use([&] {
            for (int i = 0; i < 50; ++i) {
                processor.process(out);
                for (const float s : out)
                    peak = std::max(peak, std::abs(s));
            }
        });
        EXPECT_EQ(use, test_nodes::HeapUse{}) << msg::debug(request);
        EXPECT_GT(peak, 0.1f) << msg::debug(request);
    }
}

}  // namespace
