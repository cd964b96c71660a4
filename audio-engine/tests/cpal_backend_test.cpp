#include "audio_engine/output/cpal_backend.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <thread>

#include "jack_rig/jack_rig.hpp"
#include "jack_rig/player.hpp"
#include "support/log.hpp"

namespace {

using audio_engine::engine::EngineConfig;
using audio_engine::output::cpal_backend::capture_frames;
using audio_engine::output::cpal_backend::CaptureRing;
using audio_engine::output::cpal_backend::CpalBackend;
using audio_engine::output::cpal_backend::query_device;
using jack_rig::JackServer;
using namespace std::chrono_literals;

constexpr const char* kOut = "vorla-engine-audio:outport ";
constexpr const char* kIn = "vorla-engine-capture:inport ";

std::vector<float> drain(CaptureRing& ring) {
    std::vector<float> out;
    while (auto s = ring.try_pop())
        out.push_back(*s);
    return out;
}

TEST(CaptureFrames, PushesTheChannelOfEachFrameAndDropsWhenFull) {
    std::vector<float> buffer(7);  // 0, 1, ... 6
    std::iota(buffer.begin(), buffer.end(), 0.0f);
    // The short last frame has no position 1 but has 0; a full ring drops later samples.
    const std::tuple<std::size_t, std::size_t, std::size_t, std::vector<float>> cases[] = {
        {2, 1, 16, {1, 3, 5}}, {2, 0, 16, {0, 2, 4, 6}}, {3, 2, 16, {2, 5}}, {2, 0, 2, {0, 2}},
        {2, 2, 16, {}}};
    for (const auto& [channels, channel, capacity, expected] : cases) {
        CaptureRing ring(capacity);
        EXPECT_EQ(capture_frames(buffer, channels, channel, ring), expected.size());
        EXPECT_EQ(drain(ring), expected) << channels << " channels, ch " << channel;
    }
}

// The last buffer length the render function saw; the function holds a reference.
using Seen = std::atomic<std::size_t>;

// A 440 Hz sine at 0.5 on channel 0 and at 0.25 on channel 1 of a stereo buffer.
audio_engine::output::RenderFn sine(std::shared_ptr<Seen> seen) {
    return [seen, phase = 0.0](std::span<float> out) mutable {
        for (std::size_t i = 0; i + 1 < out.size(); i += 2, phase += 2 * M_PI * 440 / 48000) {
            out[i] = 0.5f * static_cast<float>(std::sin(phase));
            out[i + 1] = 0.5f * out[i];
        }
        *seen = out.size();
    };
}

// Without JACK, PulseAudio or a sound card there is no device, and no library prints a word.
TEST(CpalBackendNoAudioSystem, FailsWithAClearText) {
    if (access("/dev/snd", F_OK) == 0) GTEST_SKIP() << "this machine has sound cards";
    auto lock = jack_rig::JackLock::acquire();
    ASSERT_TRUE(lock.has_value());
    setenv("JACK_DEFAULT_SERVER", ("vorla-none-" + std::to_string(getpid())).c_str(), 1);
    setenv("PULSE_SERVER", "unix:/nonexistent/vorla-pulse", 1);

    testing::internal::CaptureStderr();
    EXPECT_EQ(query_device().error(), "no output device available");
    CpalBackend backend;
    EXPECT_EQ(backend.start({256, 2, 48000, 0}, sine(std::make_shared<Seen>())).error(),
              "no output device available");
    EXPECT_EQ(backend.start_input(48000, 0).error(), "no input device available");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(CpalBackendJack, QueryDeviceReportsTheServersRateAndChannels) {
    auto server = JackServer::start({.sample_rate = 44100, .playback_channels = 3});
    ASSERT_TRUE(server.has_value()) << server.error().message;
    auto device = query_device();
    ASSERT_TRUE(device.has_value()) << device.error();
    EXPECT_TRUE(device->sample_rate == 44100u && device->channels == 3u);
}

// A private server, the rig's recorder and a backend; log lines are kept.
class CpalBackendJackTest : public ::testing::Test {
protected:
    void SetUp() override {
        support::log::init_with("info", support::log::Style::Never,
                                [this](std::string_view line) { log_ += line; });
        auto s = JackServer::start();
        ASSERT_TRUE(s.has_value()) << s.error().message;
        server_ = std::make_unique<JackServer>(std::move(*s));
        auto c = jack_rig::JackClient::open("rig");
        ASSERT_TRUE(c.has_value()) << c.error().message;
        rig_ = std::move(*c);
    }
    void TearDown() override { support::log::reset(); }

    // Dropped in reverse: the clients first, then the server they live on.
    std::string log_;
    std::unique_ptr<JackServer> server_;
    std::unique_ptr<jack_rig::JackClient> rig_;
    std::unique_ptr<CpalBackend> backend_ = std::make_unique<CpalBackend>();
};

// Frequency (rising zero crossings) and peak of 0.5 s after the signal sets in.
std::pair<double, double> listen(const std::vector<float>& samples) {
    auto it = std::find_if(samples.begin(), samples.end(), [](float s) { return s != 0; });
    const std::vector<float> s(it, it + std::min<std::ptrdiff_t>(24000, samples.end() - it));
    double peak = 0;
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = 1; i < s.size(); ++i) {
        peak = std::max<double>(peak, std::abs(s[i]));
        if (s[i - 1] < 0 && s[i] >= 0) (crossings++ == 0 ? first : last) = i;
    }
    return {crossings > 1 ? (crossings - 1) * 48000.0 / static_cast<double>(last - first) : 0,
            peak};
}

// A failed start in between drops its own render function and leaves the stream playing.
TEST_F(CpalBackendJackTest, PlaysTheRenderFunctionAtAnyDeviceBufferLength) {
    const std::string range = "out of range integral type conversion attempted";
    const std::pair<EngineConfig, std::string> failures[] = {
        {{256, 2, 44100, 0},
         "RtApiJack::probeDeviceOpen: the requested sample rate (44100) is different than the "
         "JACK server rate (48000)."},
        {{256, 65536, 48000, 0}, range},
        {{std::size_t{1} << 32, 2, 48000, 0}, range},
    };
    backend_->stop();  // before any start: nothing
    EXPECT_EQ(query_device().value().sample_rate, 48000u);  // the other query has 44100
    for (const char* port : {"left", "right"})
        ASSERT_TRUE(rig_->add_audio_input(port).has_value());
    // The server's period is 256 frames: a request of 1024 is overridden.
    for (std::size_t block : {256u, 1024u}) {
        auto seen = std::make_shared<Seen>();
        ASSERT_TRUE(backend_->start({block, 2, 48000, 0}, sine(seen)).has_value());
        for (const auto& [config, error] : failures) {
            auto failed = std::make_shared<Seen>();
            EXPECT_EQ(backend_->start(config, sine(failed)).error(), error);
            EXPECT_EQ(failed.use_count(), 1);
        }
        ASSERT_TRUE(rig_->connect(kOut + std::string("0"), "rig:left") &&
                    rig_->connect(kOut + std::string("1"), "rig:right"));
        rig_->clear();
        ASSERT_TRUE(rig_->wait_for_audio("right", 36000, 5s));
        for (auto [port, level] : {std::pair{"left", 0.5}, std::pair{"right", 0.25}}) {
            const auto [freq, peak] = listen(rig_->audio(port).samples);
            EXPECT_NEAR(freq, 440.0, 0.5) << port << ", block " << block;
            EXPECT_NEAR(peak, level, 0.002) << port << ", block " << block;
        }
        EXPECT_EQ(*seen, 512u) << "block " << block;
        backend_->stop();
        EXPECT_EQ(seen.use_count(), 1);
        backend_->stop();
    }
    for (const char* line : {"INFO  audio_engine::output::cpal_backend] device default: 48000Hz, "
                             "2 ch, Unknown\n",
                             "] requesting: 48000Hz, 2 ch, block=1024\n"})
        EXPECT_NE(log_.find(line), std::string::npos) << log_;
}

// Channel 1 carries a ramp of distinct values, channel 0 a constant: what reaches the ring is
// the first 200 ms of channel 1, gapless, and nothing later.
TEST_F(CpalBackendJackTest, CapturesTheChosenChannelUntilTheRingIsFull) {
    EXPECT_EQ(backend_->start_input(48000, 2).error(),
              "channel 2 out of range (device has 2 channels)");
    constexpr std::size_t kRamp = 65536;
    std::vector<float> ramp(kRamp);  // 1/kRamp, 2/kRamp, ... 1
    std::generate(ramp.begin(), ramp.end(), [i = 0.0f]() mutable { return ++i / kRamp; });
    auto ring = backend_->start_input(48000, 1);
    ASSERT_TRUE(ring.has_value()) << ring.error();
    EXPECT_EQ((*ring)->capacity(), 9600u);
    EXPECT_NE(log_.find("] input device: 2 ch, 48000Hz, capturing ch 1\n"), std::string::npos);
    auto player = jack_rig::AudioPlayer::open("player", {{-0.25f}, ramp});
    ASSERT_TRUE(player.has_value()) << player.error().message;
    for (std::size_t i = 0; i < 2; ++i)
        ASSERT_TRUE(rig_->connect((*player)->port(i), kIn + std::to_string(i)).has_value());
    backend_->stop();  // leaves the capture running

    std::this_thread::sleep_for(500ms);  // 2.5 times what the ring holds
    const std::vector<float> got = drain(**ring);
    ASSERT_EQ(got.size(), 9600u);
    auto it = std::find_if(got.begin(), got.end(), [](float s) { return s != 0; });
    // Silence from before the feed came first: the oldest samples were kept.
    ASSERT_TRUE(it != got.begin() && it - got.begin() < 9000) << it - got.begin();
    for (auto prev = it++; it != got.end(); prev = it++)
        ASSERT_EQ(std::lround(*it * kRamp), std::lround(*prev * kRamp) % kRamp + 1)
            << "at " << (it - got.begin());

    // A second capture replaces the first: the old ring receives nothing more.
    auto second = backend_->start_input(48000, 1);
    ASSERT_TRUE(second.has_value()) << second.error();
    drain(**ring);
    ASSERT_TRUE(rig_->wait_cycles(8, 2s));
    EXPECT_TRUE((*ring)->empty());
    EXPECT_FALSE((*second)->empty());
}

}  // namespace
