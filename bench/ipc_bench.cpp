// Request round trips over the IPC socket: a pattern "Ping" answered by the IPC thread, a
// "set_control" answered by a stand-in loop that waits on the loop-command channel, and a
// "set_control" through the running engine (its main loop with its 1 ms rhythm, a loaded graph
// and an audio thread draining the command ring), each against a raw Unix-socket echo of a line
// of the same length, measured in the same run. Counters: round trips per second, median and
// 99th-percentile latency in microseconds.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "vorla_engine/host.hpp"
#include "vorla_engine/ipc.hpp"

namespace {

namespace fs = std::filesystem;
namespace platform = vorla_engine::platform;
namespace ipc = vorla_engine::ipc;

const std::string kPing = "{\"cmd\":\"Ping\"}\n";
const std::string kSetControl = "{\"type\":\"set_control\",\"label\":\"cutoff\",\"value\":0.5}\n";

class LineClient {
public:
    explicit LineClient(platform::Fd fd) : fd_(std::move(fd)) {}
    std::string_view line() {
        if (consumed_) buffer_.erase(0, consumed_);
        for (std::size_t nl; (nl = buffer_.find('\n')) == std::string::npos;) {
            char chunk[4096];
            auto n = platform::read_some(fd_, chunk);
            if (!n || *n == 0) return {};
            buffer_.append(chunk, *n);
        }
        consumed_ = buffer_.find('\n') + 1;
        return std::string_view(buffer_).substr(0, consumed_);
    }
    const platform::Fd& fd() const { return fd_; }

private:
    platform::Fd fd_;
    std::string buffer_;
    std::size_t consumed_ = 0;
};

fs::path fresh_socket() {
    std::string dir = fs::temp_directory_path() / "vorla-bench-XXXXXX";
    if (!::mkdtemp(dir.data())) std::abort();
    return fs::path(dir) / "bench.sock";
}

// Sends `request` per iteration and reads one reply line; records latencies.
void round_trips(benchmark::State& state, LineClient& client, const std::string& request) {
    std::vector<double> micros;
    micros.reserve(1 << 16);
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        platform::write_all(client.fd(), request);
        benchmark::DoNotOptimize(client.line());
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin)
                .count());
    }
    std::sort(micros.begin(), micros.end());
    state.SetItemsProcessed(state.iterations());
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

// The baseline: a thread that writes every line back unchanged.
void echo(benchmark::State& state, const std::string& request) {
    const fs::path path = fresh_socket();
    auto listener = platform::listen_unix(path);
    std::jthread server([&] {
        auto connection = platform::accept(*listener);
        LineClient peer(std::move(*connection));
        for (std::string_view line; !(line = peer.line()).empty();) {
            platform::write_all(peer.fd(), line);
        }
    });
    LineClient client(*platform::connect_unix(path));
    round_trips(state, client, request);
    { auto closed = std::move(client); }
    server.join();
    fs::remove_all(path.parent_path());
}

// The engine's server, with a main loop that answers each audio request at once.
void engine(benchmark::State& state, const std::string& request) {
    const fs::path path = fresh_socket();
    auto [sender, receiver] = support::channel::unbounded<ipc::LoopCommand>();
    std::jthread main_loop([&receiver] {
        while (auto command = receiver.recv()) {
            if (auto* audio = std::get_if<ipc::loop::AudioRequest>(&*command)) {
                std::move(audio->reply).send(ipc::AudioResult("ok"));
            }
        }
    });
    {
        auto handle = ipc::start(path, std::move(sender), std::make_shared<ipc::NodeTypeList>());
        LineClient client(*platform::connect_unix(path));
        client.line();  // hello
        round_trips(state, client, request);
    }
    main_loop.join();  // the server thread has ended and dropped its sender
    fs::remove_all(path.parent_path());
}

class NoInput final : public vorla_engine::AudioDevice {
public:
    void stop() override {}
    void start_input(std::uint32_t, std::size_t, InputDone done) override {
        done({std::unexpected("none"), {}});
    }
};

// The engine's own main loop behind the server, a graph whose "cutoff" is exposed, and an
// audio thread rendering a block every millisecond.
void running_engine(benchmark::State& state, const std::string& request) {
    const fs::path path = fresh_socket();
    fs::create_directories(path.parent_path() / "dsp");
    auto audio = audio_faust::hot_reload::HotReloadEngine::create(
        {vorla_engine::block_frames, 2, 48000, vorla_engine::start_crossfade_ms},
        path.parent_path() / "dsp");
    if (!audio) {
        state.SkipWithError(audio.error().c_str());
        return;
    }
    std::atomic<bool> playing = true;
    std::jthread audio_thread([&playing, processor = std::move(audio->second)]() mutable {
        std::vector<float> block(vorla_engine::block_frames);
        while (playing.load()) {
            processor.process(block);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    pattern_engine::engine::Engine engine(vorla_engine::lookahead, vorla_engine::start_bpm,
                                          vorla_engine::start_beats_per_cycle);
    NoInput device;
    auto [sender, receiver] = support::channel::unbounded<ipc::LoopCommand>();
    auto types = std::make_shared<ipc::NodeTypeList>();
    auto server = ipc::start(path, std::move(sender), types);
    if (!server) {
        state.SkipWithError(server.error().c_str());
        return;
    }
    vorla_engine::MainLoop loop(vorla_engine::LoopParts{engine, audio->first, device, 48000, types,
                                                        std::move(receiver), std::move(*server),
                                                        nullptr, nullptr, std::nullopt});
    std::jthread main_loop([&loop] { loop.run(); });
    LineClient client(*platform::connect_unix(path));
    client.line();  // hello
    platform::write_all(client.fd(),
                        R"({"type":"load_graph","nodes":[{"id":"o","type_id":"oscillator"},)"
                        R"({"id":"g","type_id":"gain"},{"id":"d","type_id":"dac"}],)"
                        R"("connections":[["o","out","g","in"],["g","out","d","in"]],)"
                        R"("exposed_controls":{"cutoff":["g","gain"]}})"
                        "\n");
    client.line();
    round_trips(state, client, request);
    platform::write_all(client.fd(), "{\"type\":\"shutdown\"}\n");
    client.line();
    main_loop.join();
    playing = false;
    audio_thread.join();
    fs::remove_all(path.parent_path());
}

void BM_EchoPingLength(benchmark::State& state) {
    echo(state, kPing);
}
void BM_IpcPing(benchmark::State& state) {
    engine(state, kPing);
}
void BM_EchoSetControlLength(benchmark::State& state) {
    echo(state, kSetControl);
}
void BM_IpcSetControl(benchmark::State& state) {
    engine(state, kSetControl);
}

void BM_EngineSetControl(benchmark::State& state) {
    running_engine(state, kSetControl);
}

BENCHMARK(BM_EchoPingLength)->UseRealTime();
BENCHMARK(BM_IpcPing)->UseRealTime();
BENCHMARK(BM_EchoSetControlLength)->UseRealTime();
BENCHMARK(BM_IpcSetControl)->UseRealTime();
BENCHMARK(BM_EngineSetControl)->UseRealTime();

}  // namespace
