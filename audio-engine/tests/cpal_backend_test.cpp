#include "audio_engine/output/cpal_backend.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <numeric>
#include <thread>

#include "jack_rig/jack_rig.hpp"
#include "jack_rig/player.hpp"
#include "jack_rig/stderr_file.hpp"
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

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    for (const auto end = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// What the ring holds now: a capture still running refills what the first pops free.
std::vector<float> drain(CaptureRing& ring) {
    std::vector<float> out;
    for (std::size_t n = ring.size(); n > 0; --n)
        if (auto s = ring.try_pop()) out.push_back(*s);
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

// Frames counted 1, 2, ... kCount, 1, ... (exact in a float once scaled): +count / kCount on
// channel 0 of a stereo buffer, -count / kCount on channel 1. Like the graph, it renders a whole
// block of `block` frames for each `block` frames or fewer asked for, and hands out their start.
constexpr int kCount = 8192;
audio_engine::output::RenderFn counter(std::shared_ptr<Seen> seen, std::size_t block = 256) {
    return [seen, block, frame = 0](std::span<float> out) mutable {
        for (std::size_t at = 0; at < out.size(); at += 2 * block)
            for (std::size_t i = at; i < at + 2 * block; i += 2) {
                frame = frame % kCount + 1;
                if (i + 1 >= out.size()) continue;
                out[i] = static_cast<float>(frame) / kCount;
                out[i + 1] = -out[i];
            }
        *seen = out.size();
    };
}

// Recorded cycles of each length (at `sign`) that go on counting from the cycle before, and the
// others: cycles in which the rig or our client missed its turn (a loaded machine has some).
struct Periods {
    std::size_t counted = 0, missed = 0;
};
std::map<std::uint32_t, Periods> judge(const jack_rig::AudioTrack& track, float sign) {
    std::map<std::uint32_t, Periods> by_length;
    long prev = -1;  // the count before the cycle; -1: unknown
    std::size_t at = 0;
    for (const jack_rig::AudioCycle& cycle : track.cycles) {
        bool counted = prev >= 0;
        bool whole = true;  // counting within the cycle, wherever it starts
        for (std::size_t i = at; i < at + cycle.frames; ++i) {
            const long count = std::lround(sign * track.samples[i] * kCount);
            const bool next = count >= 1 && count <= kCount && count == prev % kCount + 1;
            if (!next) (i == at ? counted : whole) = false;
            prev = count;
        }
        if (!whole) prev = -1;
        at += cycle.frames;
        auto& p = by_length[cycle.frames];
        ++(counted && whole ? p.counted : p.missed);
    }
    return by_length;
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
    EXPECT_EQ(backend.start({256, 2, 48000, 0}, counter(std::make_shared<Seen>())).error(),
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

// A private server, the rig's recorder (ports "left" and "right") and a backend; log lines are
// kept.
class CpalBackendJackTest : public ::testing::Test {
protected:
    virtual jack_rig::ServerOptions options() const { return {}; }
    void SetUp() override {
        support::log::init_with("info", support::log::Style::Never,
                                [this](std::string_view line) { log_ += line; });
        auto s = JackServer::start(options());
        ASSERT_TRUE(s.has_value()) << s.error().message;
        server_ = std::make_unique<JackServer>(std::move(*s));
        auto c = jack_rig::JackClient::open("rig");
        ASSERT_TRUE(c.has_value()) << c.error().message;
        rig_ = std::move(*c);
        for (const char* port : {"left", "right"})
            ASSERT_TRUE(rig_->add_audio_input(port).has_value());
    }
    void TearDown() override { support::log::reset(); }

    // Records the backend's output for `frames` frames, running `midway` half-way through. Each
    // channel plays at each of `periods` and counts on from cycle to cycle. A stall of the dummy
    // server (an xrun, or a jump in the frame times of the rig's cycles) seldom breaks the count,
    // so a few breaks are allowed where the rig reports some; a period not served whole breaks
    // it every time.
    void expect_counting(std::size_t frames, const std::vector<std::uint32_t>& periods,
                         const std::function<void()>& midway) {
        ASSERT_TRUE(rig_->connect(kOut + std::string("0"), "rig:left") &&
                    rig_->connect(kOut + std::string("1"), "rig:right"));
        rig_->clear();
        const std::size_t xruns_before = rig_->xruns().size();
        ASSERT_TRUE(rig_->wait_for_audio("right", frames / 2, 30s));
        midway();
        ASSERT_TRUE(rig_->wait_for_audio("right", frames, 30s));
        const std::size_t xruns = rig_->xruns().size() - xruns_before;
        for (auto [port, sign] : {std::pair{"left", 1.0f}, std::pair{"right", -1.0f}}) {
            const jack_rig::AudioTrack track = rig_->audio(port);
            std::size_t gaps = 0, missed = 0;
            std::vector<std::uint32_t> unplayed = periods;
            for (std::size_t i = 1; i < track.cycles.size(); ++i) {
                const auto [frame, length] = track.cycles[i - 1];
                gaps += track.cycles[i].frame != frame + length;
            }
            std::string shown;
            for (const auto& [length, p] : judge(track, sign)) {
                missed += p.missed;
                shown += fmt::format("{}: {} counted, {} missed; ", length, p.counted, p.missed);
                if (std::erase(unplayed, length)) {
                    EXPECT_GE(p.counted, 8u) << port << ", " << length;
                }
            }
            shown += fmt::format("{} xruns, {} gaps", xruns, gaps);
            std::printf("%s: %s\n", port, shown.c_str());
            EXPECT_LE(missed, std::min<std::size_t>(xruns + gaps, 8) + 2) << port << ": " << shown;
            EXPECT_TRUE(unplayed.empty()) << port << ": " << shown;
        }
    }

    // Dropped in reverse: the clients first, then the server they live on.
    std::string log_;
    std::unique_ptr<JackServer> server_;
    std::unique_ptr<jack_rig::JackClient> rig_;
    std::unique_ptr<CpalBackend> backend_ = std::make_unique<CpalBackend>();
};

// A failed start in between drops its own render function and leaves the stream playing. The
// render function always gets one whole block, whatever the server's period (256 frames).
TEST_F(CpalBackendJackTest, RefusesWhatTheServerCannotPlayAndKeepsPlaying) {
    const std::string range = "out of range integral type conversion attempted";
    const auto rate = [](int requested) {
        return fmt::format(
            "the requested sample rate ({}) is different than the JACK server rate (48000)",
            requested);
    };
    const std::pair<EngineConfig, std::string> failures[] = {
        {{256, 2, 44100, 0}, rate(44100)},
        {{256, 2, 96000, 0}, rate(96000)},
        {{256, 3, 48000, 0}, "the requested 3 channels exceed the device's 2"},
        {{256, 65536, 48000, 0}, range},
        {{std::size_t{1} << 32, 2, 48000, 0}, range},
    };
    backend_->stop();  // before any start: nothing
    EXPECT_EQ(query_device().value().sample_rate, 48000u);  // the other query has 44100
    for (std::size_t block : {256u, 1024u}) {
        auto seen = std::make_shared<Seen>();
        ASSERT_TRUE(backend_->start({block, 2, 48000, 0}, counter(seen, block)).has_value());
        for (const auto& [config, error] : failures) {
            auto failed = std::make_shared<Seen>();
            EXPECT_EQ(backend_->start(config, counter(failed)).error(), error);
            EXPECT_EQ(failed.use_count(), 1);
        }
        for (const char* c : {"0", "1"})
            EXPECT_EQ(rig_->connections(kOut + std::string(c)),
                      std::vector<std::string>{std::string("system:playback_") + (*c == '0' ? "1" : "2")});
        expect_counting(200 * jack_rig::kPeriod, {jack_rig::kPeriod}, [] {});
        EXPECT_EQ(*seen, 2 * block);
        backend_->stop();
        EXPECT_EQ(seen.use_count(), 1);
        backend_->stop();
    }
    for (const char* line : {"INFO  audio_engine::output::cpal_backend] device default: 48000Hz, "
                             "2 ch, Unknown\n",
                             "] requesting: 48000Hz, 2 ch, block=1024\n"})
        EXPECT_NE(log_.find(line), std::string::npos) << log_;
}

// The server starts at one period and changes to another while the backend plays (as
// `jack_bufsize` does): whole blocks go out in order at both, and across the change.
class CpalBackendJackPeriods
    : public CpalBackendJackTest,
      public ::testing::WithParamInterface<std::pair<std::uint32_t, std::uint32_t>> {
    jack_rig::ServerOptions options() const override { return {.period = GetParam().first}; }
};

TEST_P(CpalBackendJackPeriods, PlaysWholeBlocksInOrderAtEachPeriod) {
    const auto [from, to] = GetParam();
    auto seen = std::make_shared<Seen>();
    ASSERT_TRUE(backend_->start({256, 2, 48000, 0}, counter(seen)).has_value());
    expect_counting(48000, {from, to}, [&] { ASSERT_TRUE(rig_->set_buffer_size(to).has_value()); });
    EXPECT_EQ(*seen, 512u);
}

INSTANTIATE_TEST_SUITE_P(Periods, CpalBackendJackPeriods,
                         ::testing::Values(std::pair(32u, 1024u), std::pair(64u, 1024u),
                                           std::pair(128u, 32u), std::pair(256u, 64u),
                                           std::pair(1024u, 32u)),
                         [](const auto& info) {
                             return fmt::format("{}to{}", info.param.first, info.param.second);
                         });

// Only the chosen channel's physical port is captured, through a port of its own; a ramp of
// distinct values fed to that port reaches the ring for its first 200 ms, in whole periods, and
// nothing later.
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
    EXPECT_EQ(rig_->ports("vorla-engine-capture:.*"), std::vector<std::string>{kIn + std::string("1")});
    EXPECT_EQ(rig_->connections(kIn + std::string("1")), std::vector<std::string>{"system:capture_2"});
    auto player = jack_rig::AudioPlayer::open("player", {ramp});
    ASSERT_TRUE(player.has_value()) << player.error().message;
    ASSERT_TRUE(rig_->connect((*player)->port(0), kIn + std::string("1")).has_value());
    backend_->stop();  // leaves the capture running

    ASSERT_TRUE(eventually([&] { return (*ring)->size() == 9600u; }, 20s));
    std::this_thread::sleep_for(200ms);  // what the ring would take in again meanwhile
    const std::vector<float> got = drain(**ring);
    ASSERT_EQ(got.size(), 9600u);
    auto it = std::find_if(got.begin(), got.end(), [](float s) { return s != 0; });
    // Silence from before the feed came first: the oldest samples were kept.
    ASSERT_TRUE(it != got.begin() && it - got.begin() < 9000) << it - got.begin();
    // Each period captured is one the player played whole; a loaded machine may skip some.
    std::size_t skipped = 0;
    for (auto prev = it++; it != got.end(); prev = it++) {
        if (std::lround(*it * kRamp) == std::lround(*prev * kRamp) % long{kRamp} + 1) continue;
        ASSERT_EQ((it - got.begin()) % jack_rig::kPeriod, 0) << "a break inside a period";
        ++skipped;
    }
    EXPECT_LT(skipped, 10u);

    // A second capture replaces the first: the old ring receives nothing more.
    auto second = backend_->start_input(48000, 1);
    ASSERT_TRUE(second.has_value()) << second.error();
    drain(**ring);
    ASSERT_TRUE(rig_->wait_cycles(8, 20s));
    EXPECT_TRUE((*ring)->empty());
    EXPECT_FALSE((*second)->empty());
}

// The server goes away (SIGTERM, SIGKILL) under a playing output and a running capture: each
// stream writes its error line once and nothing else reaches stderr; both then stop promptly.
class CpalBackendServerLoss : public CpalBackendJackTest,
                              public ::testing::WithParamInterface<int> {};

TEST_P(CpalBackendServerLoss, ReportsEachStreamOnceAndStopsPromptly) {
    auto seen = std::make_shared<Seen>();
    ASSERT_TRUE(backend_->start({256, 2, 48000, 0}, counter(seen)).has_value());
    auto ring = backend_->start_input(48000, 0);
    ASSERT_TRUE(ring.has_value()) << ring.error();
    ASSERT_TRUE(eventually([&] { return *seen > 0 && !(*ring)->empty(); }, 10s));
    rig_.reset();  // the rig's own client is not under test

    const std::string gone =
        "The requested device is no longer available. For example, it has been unplugged.\n";
    const std::string output = "audio stream error: " + gone;
    const std::string input = "audio input stream error: " + gone;
    std::string err;
    {
        jack_rig::StderrFile captured;
        if (GetParam() == SIGKILL)
            server_->crash();
        else
            kill(server_->pid(), GetParam());
        EXPECT_TRUE(eventually([&] { return captured.text().size() >= (output + input).size(); },
                               10s));
        std::this_thread::sleep_for(100ms);  // a second report would come now
        const auto stopping = std::chrono::steady_clock::now();
        backend_->stop();
        backend_.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
        err = captured.text();
    }
    EXPECT_TRUE(err == output + input || err == input + output) << err;
    EXPECT_EQ(seen.use_count(), 1);  // the render function went with the stream
}

INSTANTIATE_TEST_SUITE_P(Signals, CpalBackendServerLoss, ::testing::Values(SIGTERM, SIGKILL));

}  // namespace
