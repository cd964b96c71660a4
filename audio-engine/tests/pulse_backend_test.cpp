// The RtAudio path for real: a private PulseAudio server with a null sink, no JACK server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio_engine/engine.hpp"
#include "audio_engine/output/cpal_backend.hpp"
#include "jack_rig/stderr_file.hpp"
#include "jack_rig/tone.hpp"
#include "support/json.hpp"
#include "support/log.hpp"

namespace {

using audio_engine::engine::AudioProcessor;
using audio_engine::engine::EngineConfig;
using audio_engine::output::cpal_backend::CaptureRing;
using audio_engine::output::cpal_backend::CpalBackend;
using audio_engine::output::cpal_backend::query_device;
using namespace std::chrono_literals;

// The null sink: three float channels at 48 kHz, so no count or rate is a library default.
constexpr std::uint32_t kRate = 48000;
constexpr std::size_t kChannels = 3;
constexpr std::size_t kBlock = 256;
constexpr float kFreq = 480.0f;  // a period of exactly 100 frames
constexpr const char* kSink =
    "module-null-sink sink_name=null format=float32le rate=48000 channels=3";

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    for (const auto end = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        std::size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        if (access((dirs.substr(at, end - at) + "/" + name).c_str(), X_OK) == 0) return true;
        at = end + 1;
    }
    return false;
}

// A child process that dies with the test process, its output going to `out`.
pid_t spawn(const std::vector<std::string>& argv, const std::string& out,
            const std::string& err = "") {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    if (!err.empty())
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    else
        dup2(fd, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// The child's exit status, or none when it is still running after `timeout` (it is then killed).
std::optional<int> reap(pid_t pid, std::chrono::milliseconds timeout) {
    int status = 0;
    const bool done = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
    if (done) return status;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return std::nullopt;
}

// A private server in a private runtime folder; every client of this process, and the tools it
// runs, find it there and find no JACK server.
class PulseServer {
public:
    static std::unique_ptr<PulseServer> start(std::string& why) {
        auto server = std::unique_ptr<PulseServer>(new PulseServer);
        char dir[] = "/tmp/vorla-pulse-XXXXXX";
        if (!mkdtemp(dir)) return why = "mkdtemp failed", nullptr;
        server->dir_ = dir;
        setenv("XDG_RUNTIME_DIR", dir, 1);
        setenv("HOME", dir, 1);
        setenv("PULSE_SERVER", (std::string("unix:") + dir + "/pulse/native").c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        setenv("JACK_DEFAULT_SERVER", ("vorla-nobody-" + std::to_string(getpid())).c_str(), 1);
        server->pid_ =
            spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                   "--use-pid-file=no", "-L", kSink, "-L", "module-native-protocol-unix"},
                  server->file("server.log"));
        // A loaded machine may take several seconds; each try is bounded.
        const bool up = eventually(
            [&] {
                return server->tool({"pactl", "info"}, 3s) == 0 || !server->running();
            },
            20s);
        if (!up || !server->running()) {
            why = "the PulseAudio server did not answer: " + server->log();
            return nullptr;
        }
        return server;
    }

    ~PulseServer() {
        crash();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    void crash() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        (void)reap(pid_, 10s);
        pid_ = -1;
    }

    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    std::string log() const {
        std::ifstream in(file("server.log"));
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // A PulseAudio tool's exit status; -1 when it did not end within `timeout`.
    int tool(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) const {
        const auto status = reap(spawn(argv, file("tool.out")), timeout);
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }

    // `seconds` of the sink's monitor, mono, after the first `skip` seconds it delivers. The
    // sink may first finish a long block of silence rendered before anyone listened.
    std::vector<float> record(double skip, double seconds) const {
        const std::string path = file("monitor.raw");
        const pid_t pid =
            spawn({"parec", "-d", "null.monitor", "--format=float32le",
                   "--rate=" + std::to_string(kRate), "--channels=1", "--raw", "--latency-msec=20"},
                  path, file("parec.err"));
        const auto frames = static_cast<std::size_t>((skip + seconds) * kRate);
        (void)eventually(
            [&] {
                std::error_code ec;
                const auto size = std::filesystem::file_size(path, ec);
                return !ec && size >= frames * sizeof(float);
            },
            20s);
        kill(pid, SIGTERM);
        (void)reap(pid, 5s);
        std::ifstream in(path, std::ios::binary);
        std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
        std::vector<float> all(bytes.size() / sizeof(float));
        std::memcpy(all.data(), bytes.data(), all.size() * sizeof(float));
        const auto from = std::min(all.size(), static_cast<std::size_t>(skip * kRate));
        return {all.begin() + from, all.begin() + std::min(all.size(), frames)};
    }

private:
    PulseServer() = default;
    bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

    std::string dir_;
    pid_t pid_ = -1;
};

// What a recording holds: the median distance between rising zero crossings (in frames) and
// the share of 2 ms windows that carry the tone (a window left silent, or a stretch of the
// wrong pitch, lowers it).
struct Heard {
    double period = 0;
    double loud = 0;
};
Heard hear(const std::vector<float>& samples) {
    Heard heard;
    heard.period = jack_rig::median_period(samples);
    constexpr std::size_t kWindow = kRate / 500;
    std::size_t windows = 0, loud = 0;
    for (std::size_t at = 0; at + kWindow <= samples.size(); at += kWindow, ++windows) {
        float peak = 0;
        for (std::size_t i = at; i < at + kWindow; ++i)
            peak = std::max(peak, std::abs(samples[i]));
        loud += peak > 0.9f;
    }
    heard.loud = windows ? static_cast<double>(loud) / windows : 0;
    return heard;
}

// The host's render step: one mono block from the engine copied into every channel of each
// frame. Keeps the length of the buffers it gets.
struct Render {
    AudioProcessor processor;
    std::shared_ptr<std::atomic<std::size_t>> seen;
    std::vector<float> mono = std::vector<float>(kBlock);
    void operator()(std::span<float> out) {
        const std::size_t frames = std::min(out.size() / kChannels, mono.size());
        std::fill(mono.begin(), mono.end(), 0.0f);
        processor.process(std::span<float>(mono.data(), frames));
        for (std::size_t i = 0; i < frames * kChannels; ++i)
            out[i] = mono[i / kChannels];
        seen->store(out.size());
    }
};

class PulseBackend : public ::testing::Test {
protected:
    void SetUp() override {
        if (!on_path("pulseaudio")) GTEST_SKIP() << "no pulseaudio binary";
        support::log::init_with("info", support::log::Style::Never,
                                [this](std::string_view line) { log_ += line; });
        std::string why;
        server_ = PulseServer::start(why);
        ASSERT_TRUE(server_) << why;
    }
    void TearDown() override { support::log::reset(); }

    // Plays an oscillator into the dac through the engine, as the host does.
    void play() {
        const EngineConfig config{kBlock, kChannels, kRate, 0};
        auto [controller, processor] = audio_engine::engine::engine(config);
        support::json::Parser parser;
        auto load = audio_engine::protocol::decode(
            parser, R"({"type":"load_graph","nodes":[{"id":"osc","type_id":"oscillator",)"
                    R"("controls":{"freq":480}},{"id":"out","type_id":"dac"}],)"
                    R"("connections":[["osc","out","out","in"]],"exposed_controls":{}})");
        ASSERT_TRUE(load.has_value());
        ASSERT_TRUE(controller.handle_message(std::move(*load)).has_value());
        auto started = backend_->start(config, Render{std::move(processor), seen_});
        ASSERT_TRUE(started.has_value()) << started.error();
        ASSERT_TRUE(eventually([&] { return *seen_ > 0; }, 10s));
    }

    std::string log_;
    std::unique_ptr<PulseServer> server_;
    std::shared_ptr<std::atomic<std::size_t>> seen_ = std::make_shared<std::atomic<std::size_t>>();
    std::unique_ptr<CpalBackend> backend_ = std::make_unique<CpalBackend>();
};

TEST_F(PulseBackend, QueryReportsTheSinksChannelsAndRate) {
    auto device = query_device();
    ASSERT_TRUE(device.has_value()) << device.error();
    EXPECT_EQ(device->channels, kChannels);
    EXPECT_EQ(device->sample_rate, kRate);
}

// The tone reaches the sink whole: every frame of every device buffer comes from the engine.
TEST_F(PulseBackend, PlaysTheGraphOnTheSink) {
    play();
    EXPECT_EQ(*seen_, kBlock * kChannels);
    const std::vector<float> got = server_->record(0.2, 1.0);
    ASSERT_EQ(got.size(), kRate) << server_->log();
    const Heard heard = hear(got);
    EXPECT_NEAR(heard.period, kRate / kFreq, 0.5);
    EXPECT_GT(heard.loud, 0.9);
    EXPECT_NE(log_.find("] requesting: 48000Hz, 3 ch, block=256\n"), std::string::npos) << log_;
}

// The monitor of the sink, fed by our own playback, is the default source.
TEST_F(PulseBackend, CapturesTheLastChannelOfTheMonitor) {
    auto beyond = backend_->start_input(kRate, kChannels);
    ASSERT_FALSE(beyond.has_value());
    EXPECT_EQ(beyond.error(), "channel 3 out of range (device has 3 channels)");
    play();
    auto ring = backend_->start_input(kRate, kChannels - 1);
    ASSERT_TRUE(ring.has_value()) << ring.error();
    EXPECT_EQ((*ring)->capacity(), kRate / 5);
    EXPECT_NE(log_.find("] input device: 3 ch, 48000Hz, capturing ch 2\n"), std::string::npos);
    // Once full it keeps its first samples; the tone starts after the stream's first silence.
    ASSERT_TRUE(eventually([&] { return (*ring)->size() == kRate / 5; }, 10s));
    std::vector<float> got;
    while (auto s = (*ring)->try_pop())
        got.push_back(*s);
    ASSERT_EQ(got.size(), kRate / 5);
    const auto tone = std::find_if(got.begin(), got.end(), [](float s) { return s != 0; });
    const Heard heard = hear({tone, got.end()});
    EXPECT_NEAR(heard.period, kRate / kFreq, 0.5);
    EXPECT_GT(heard.loud, 0.9);
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

// The server dies under a playing output and a running capture: each stream reports once, then
// rests (no thread spins on the dead connection), and both stop without a hang.
TEST_F(PulseBackend, ServerLossIsReportedOnceAndStopsCleanly) {
    play();
    auto ring = backend_->start_input(kRate, 0);
    ASSERT_TRUE(ring.has_value()) << ring.error();
    ASSERT_TRUE(eventually([&] { return !(*ring)->empty(); }, 10s));
    const std::string output = "audio stream error: RtApiPulse::callbackEvent: audio write error";
    const std::string input =
        "audio input stream error: RtApiPulse::callbackEvent: audio read error";
    std::string err;
    double spent = 0;
    {
        jack_rig::StderrFile captured;
        server_->crash();
        EXPECT_TRUE(eventually(
            [&] {
                const std::string text = captured.text();
                return text.find(output) != std::string::npos &&
                       text.find(input) != std::string::npos;
            },
            10s));
        const double before = cpu_seconds();
        std::this_thread::sleep_for(500ms);  // a second report would come now
        spent = cpu_seconds() - before;
        const auto stopping = std::chrono::steady_clock::now();
        backend_->stop();
        backend_.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - stopping, 3s);
        err = captured.text();
    }
    EXPECT_LT(spent, 0.2);
    const std::string terminated = ", Connection terminated.\n";
    EXPECT_TRUE(err == output + terminated + input + terminated ||
                err == input + terminated + output + terminated)
        << err;
    EXPECT_EQ(seen_.use_count(), 1);  // the render function went with the stream
}

}  // namespace
