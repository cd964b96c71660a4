#include "audio_engine/output/cpal_backend.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jack_rig/jack_rig.hpp"
#include "jack_rig/player.hpp"
#include "support/log.hpp"

namespace {

using audio_engine::engine::EngineConfig;
using audio_engine::output::cpal_backend::capture_frames;
using audio_engine::output::cpal_backend::CaptureRing;
using audio_engine::output::cpal_backend::CpalBackend;
using audio_engine::output::cpal_backend::query_device;
using jack_rig::JackClient;
using jack_rig::JackServer;
using namespace std::chrono_literals;

constexpr const char* kOut = "vorla-engine-audio:outport ";
constexpr const char* kIn = "vorla-engine-capture:inport ";
constexpr const char* kGone =
    "The requested device is no longer available. For example, it has been unplugged.";

std::vector<float> drain(CaptureRing& ring) {
    std::vector<float> out;
    while (auto s = ring.try_pop())
        out.push_back(*s);
    return out;
}

TEST(CaptureFrames, PushesTheChannelOfEachFrameAndDropsWhenFull) {
    struct Case {
        std::size_t samples, channels, channel, capacity;
        std::vector<float> expected;
    };
    const Case cases[] = {
        {7, 2, 1, 16, {1, 3, 5}},     // the short last frame has no position 1
        {7, 2, 0, 16, {0, 2, 4, 6}},  // ... but has position 0
        {7, 3, 2, 16, {2, 5}},
        {7, 2, 0, 2, {0, 2}},  // full ring: later samples are dropped
        {4, 2, 2, 16, {}},
    };
    for (const Case& c : cases) {
        std::vector<float> buffer(c.samples);
        for (std::size_t i = 0; i < buffer.size(); ++i)
            buffer[i] = static_cast<float>(i);
        CaptureRing ring(c.capacity);
        EXPECT_EQ(capture_frames(buffer, c.channels, c.channel, ring), c.expected.size());
        EXPECT_EQ(drain(ring), c.expected) << c.samples << " samples, ch " << c.channel;
    }
}

// A render function that counts its calls and keeps `token` alive while the backend owns it.
struct Probe {
    std::shared_ptr<int> token = std::make_shared<int>(0);
    std::shared_ptr<std::atomic<std::size_t>> calls = std::make_shared<std::atomic<std::size_t>>();
    std::shared_ptr<std::atomic<std::size_t>> length = std::make_shared<std::atomic<std::size_t>>();

    // A sine of `freq` Hz at 0.5 on the first channel, at 0.25 on the second.
    audio_engine::output::RenderFn sine(float freq, std::size_t channels) {
        return [t = token, calls = calls, length = length, freq, channels,
                phase = 0.0](std::span<float> out) mutable {
            for (std::size_t i = 0; i + channels <= out.size(); i += channels) {
                const float s = static_cast<float>(std::sin(phase));
                for (std::size_t c = 0; c < channels; ++c)
                    out[i + c] = c == 0 ? 0.5f * s : 0.25f * s;
                phase += 2 * M_PI * freq / 48000.0;
            }
            length->store(out.size());
            calls->fetch_add(1);
        };
    }
};

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
    Probe probe;
    EXPECT_EQ(backend.start({256, 2, 48000, 0}, probe.sine(440, 2)).error(),
              "no output device available");
    EXPECT_EQ(probe.token.use_count(), 1);
    EXPECT_EQ(backend.start_input(48000, 0).error(), "no input device available");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(CpalBackendJack, QueryDeviceReportsTheServersRateAndChannels) {
    for (auto [rate, channels] : {std::pair{48000u, 2u}, std::pair{44100u, 3u}}) {
        auto server = JackServer::start({.sample_rate = rate, .playback_channels = channels});
        ASSERT_TRUE(server.has_value()) << server.error().message;
        auto device = query_device();
        ASSERT_TRUE(device.has_value()) << device.error();
        EXPECT_EQ(device->sample_rate, rate);
        EXPECT_EQ(device->channels, channels);
    }
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
        auto c = JackClient::open("rig");
        ASSERT_TRUE(c.has_value()) << c.error().message;
        rig_ = std::move(*c);
    }
    void TearDown() override {
        backend_.reset();
        player_.reset();
        rig_.reset();  // clients first, then the server they live on
        server_.reset();
        support::log::reset();
    }

    // Plays `signals` into the engine's input ports 0, 1, ...
    void feed(std::vector<std::vector<float>> signals) {
        const std::size_t n = signals.size();
        auto p = jack_rig::AudioPlayer::open("player", std::move(signals));
        ASSERT_TRUE(p.has_value()) << p.error().message;
        player_ = std::move(*p);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_TRUE(rig_->connect(player_->port(i), kIn + std::to_string(i)).has_value());
    }

    std::string log_;
    std::unique_ptr<JackServer> server_;
    std::unique_ptr<JackClient> rig_;
    std::unique_ptr<jack_rig::AudioPlayer> player_;
    std::unique_ptr<CpalBackend> backend_ = std::make_unique<CpalBackend>();
};

struct Heard {
    double freq = 0, peak = 0;
};

// Frequency (rising zero crossings) and peak of 0.5 s after the signal sets in.
Heard listen(const std::vector<float>& samples) {
    auto it = std::find_if(samples.begin(), samples.end(), [](float s) { return s != 0; });
    const std::vector<float> s(it, it + std::min<std::ptrdiff_t>(24000, samples.end() - it));
    Heard h;
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = 1; i < s.size(); ++i) {
        h.peak = std::max<double>(h.peak, std::abs(s[i]));
        if (s[i - 1] < 0 && s[i] >= 0) {
            if (crossings++ == 0) first = i;
            last = i;
        }
    }
    if (crossings > 1) h.freq = (crossings - 1) * 48000.0 / static_cast<double>(last - first);
    return h;
}

TEST_F(CpalBackendJackTest, PlaysTheRenderFunctionAtAnyDeviceBufferLength) {
    ASSERT_TRUE(rig_->add_audio_input("left").has_value());
    ASSERT_TRUE(rig_->add_audio_input("right").has_value());
    // The server's period is 256 frames: a request of 1024 is overridden.
    for (std::size_t block : {256u, 1024u}) {
        Probe probe;
        ASSERT_TRUE(backend_->start({block, 2, 48000, 0}, probe.sine(440, 2)).has_value());
        ASSERT_TRUE(rig_->connect(kOut + std::string("0"), "rig:left").has_value());
        ASSERT_TRUE(rig_->connect(kOut + std::string("1"), "rig:right").has_value());
        rig_->clear();
        ASSERT_TRUE(rig_->wait_for_audio("right", 36000, 5s));
        for (auto [port, level] : {std::pair{"left", 0.5}, std::pair{"right", 0.25}}) {
            const Heard h = listen(rig_->audio(port).samples);
            EXPECT_NEAR(h.freq, 440.0, 0.5) << port << ", block " << block;
            EXPECT_NEAR(h.peak, level, 0.002) << port << ", block " << block;
        }
        EXPECT_EQ(probe.length->load(), 512u) << "block " << block;
        backend_->stop();
    }
    EXPECT_NE(log_.find("INFO  audio_engine::output::cpal_backend] device default: 48000Hz, 2 "
                        "ch, Unknown\n"),
              std::string::npos)
        << log_;
    EXPECT_NE(log_.find("] requesting: 48000Hz, 2 ch, block=1024\n"), std::string::npos) << log_;
}

TEST_F(CpalBackendJackTest, AFailedStartDropsItsRenderFunctionAndKeepsTheStream) {
    Probe playing;
    backend_->stop();  // before any start: nothing
    ASSERT_TRUE(backend_->start({256, 2, 48000, 0}, playing.sine(440, 2)).has_value());
    struct Case {
        EngineConfig config;
        std::string error;
    };
    const std::string range = "out of range integral type conversion attempted";
    const Case cases[] = {
        {{256, 2, 44100, 0},
         "RtApiJack::probeDeviceOpen: the requested sample rate (44100) is different than the "
         "JACK server rate (48000)."},
        {{256, 65536, 48000, 0}, range},
        {{std::size_t{1} << 32, 2, 48000, 0}, range},
    };
    for (const Case& c : cases) {
        Probe failed;
        EXPECT_EQ(backend_->start(c.config, failed.sine(440, 2)).error(), c.error);
        EXPECT_EQ(failed.token.use_count(), 1);
    }
    const std::size_t calls = playing.calls->load();
    ASSERT_TRUE(rig_->wait_cycles(4, 2s));
    EXPECT_GT(playing.calls->load(), calls);

    backend_->stop();
    EXPECT_EQ(playing.token.use_count(), 1);
    backend_->stop();
}

TEST_F(CpalBackendJackTest, StartInputRejectsAChannelOutOfRange) {
    for (std::size_t channel : {2u, 7u})
        EXPECT_EQ(backend_->start_input(48000, channel).error(),
                  "channel " + std::to_string(channel) + " out of range (device has 2 channels)");
    auto ring = backend_->start_input(48000, 1);
    ASSERT_TRUE(ring.has_value()) << ring.error();
    EXPECT_EQ((*ring)->capacity(), 9600u);
    EXPECT_NE(log_.find("] input device: 2 ch, 48000Hz, capturing ch 1\n"), std::string::npos);
}

// Channel 1 carries a ramp of distinct values, channel 0 a constant: what reaches the ring is
// the first 200 ms of channel 1, gapless, and nothing later.
TEST_F(CpalBackendJackTest, CapturesTheChosenChannelUntilTheRingIsFull) {
    constexpr std::size_t kRamp = 65536;
    std::vector<float> ramp(kRamp);
    for (std::size_t i = 0; i < kRamp; ++i)
        ramp[i] = static_cast<float>(i + 1) / kRamp;
    auto ring = backend_->start_input(48000, 1);
    ASSERT_TRUE(ring.has_value()) << ring.error();
    feed({std::vector<float>{-0.25f}, ramp});
    backend_->stop();  // leaves the capture running

    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while ((*ring)->size() < 9600 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(300ms);  // long enough to overflow
    const std::vector<float> got = drain(**ring);
    ASSERT_EQ(got.size(), 9600u);
    auto it = std::find_if(got.begin(), got.end(), [](float s) { return s != 0; });
    ASSERT_LT(it - got.begin(), 4800) << "the feed came late";
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

TEST_F(CpalBackendJackTest, ReportsTheLossOfTheServerOnStderr) {
    Probe probe;
    ASSERT_TRUE(backend_->start({256, 2, 48000, 0}, probe.sine(440, 2)).has_value());
    ASSERT_TRUE(backend_->start_input(48000, 0).has_value());
    rig_.reset();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(server_->stop().has_value());
    std::this_thread::sleep_for(200ms);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(std::string("audio stream error: ") + kGone + "\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find(std::string("audio input stream error: ") + kGone + "\n"),
              std::string::npos)
        << err;
}

}  // namespace
