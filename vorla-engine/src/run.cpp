// Start-up: logging, the DSP directory, the audio device, the engines, the IPC server and MIDI,
// then the main loop; shutdown releases everything in the reverse order of the locals here.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "audio_engine/output/cpal_backend.hpp"
#include "pattern_engine/output/midi.hpp"
#include "pattern_engine/rt.hpp"
#include "support/debug.hpp"
#include "support/log.hpp"
#include "support/number.hpp"
#include "vorla_engine/host.hpp"
#include "vorla_engine/platform/unix_socket.hpp"

namespace vorla_engine {

namespace {

namespace cpal = audio_engine::output::cpal_backend;

// From "shutdown" on the process ends within this time: a server that stalls without going
// away keeps libjack waiting in our clients' close (the output's, the MIDI sink's) or open (a
// capture being started) for as long as it stalls. Past it the process removes its socket and
// PID files and leaves at once, still with status 0.
constexpr auto exit_deadline = std::chrono::seconds(3);

void arm_exit_deadline(std::optional<ipc::OwnFiles> files) {
    std::thread([files = std::move(files)] {
        std::this_thread::sleep_for(exit_deadline);
        if (files) files->remove();
        support::log::warn(log_target, "shutdown did not finish within 3 s: exiting");
        std::_Exit(0);
    }).detach();
}

// Captures start on a thread of the device's own, in the order asked, so that a server that
// keeps a call waiting never holds up the main loop.
class Device final : public AudioDevice {
public:
    cpal::CpalBackend backend;
    std::optional<ipc::OwnFiles> files;  // for the exit deadline

    Device() : Device(support::channel::unbounded<Job>()) {}
    ~Device() override {
        jobs_.reset();  // the worker ends after the jobs already queued
        worker_.join();
    }

    void stop() override {
        arm_exit_deadline(files);
        backend.stop();
    }
    void start_input(std::uint32_t sample_rate, std::size_t channel, InputDone done) override {
        jobs_->send([this, sample_rate, channel, done = std::move(done)]() mutable {
            InputStarted started{backend.start_input(sample_rate, channel), {}};
            if (started.ring) started.unconnected = backend.unconnected_input();
            done(std::move(started));
        });
    }

private:
    using Job = std::move_only_function<void()>;
    explicit Device(std::pair<support::channel::Sender<Job>, support::channel::Receiver<Job>> jobs)
        : jobs_(std::move(jobs.first)),
          worker_([this, receiver = std::move(jobs.second)]() mutable {
              platform::set_thread_name("zorva-device");
              while (auto job = receiver.recv())
                  (*job)();
          }) {}

    std::optional<support::channel::Sender<Job>> jobs_;
    std::thread worker_;
};

void info(const std::string& text) { support::log::info(log_target, text); }

}  // namespace

std::expected<void, std::string> run(const Config& config, std::size_t channels,
                                     std::uint32_t sample_rate) {
    // Declared first so that it is released last: the MIDI input stays open to the end.
    std::optional<MidiInput> midi_input;

    const audio_engine::engine::EngineConfig engine_config{block_frames, channels, sample_rate,
                                                           start_crossfade_ms};
    auto made = audio_faust::hot_reload::HotReloadEngine::create(engine_config, config.dsp_dir);
    if (!made) return std::unexpected(std::move(made.error()));
    auto audio = std::move(made->first);

    Device device;
    if (auto r = device.backend.start(engine_config,
                                      make_audio_callback(std::move(made->second), channels));
        !r)
        return std::unexpected(std::move(r.error()));
    info("audio started (" + std::to_string(sample_rate) + "Hz, " + std::to_string(channels) +
         " ch)");

    pattern_engine::engine::Engine engine(lookahead, start_bpm, start_beats_per_cycle);
    auto node_types = std::make_shared<ipc::NodeTypeList>();
    node_types->set(audio.controller().list_node_types());
    auto [commands_tx, commands] = support::channel::unbounded<LoopCommand>();
    auto handle = ipc::start(config.socket_path, std::move(commands_tx), node_types);
    if (!handle) return std::unexpected(std::move(handle.error()));
    device.files = handle->own_files();

    info("vorla-engine ready");
    info("  socket: " + handle->socket_path().string());
    info("  DSP dir: " + config.dsp_dir.string());
    info("  bpm: " + support::number::message(start_bpm));
    info("  lookahead: " + std::to_string(lookahead.count()) + "ms");

    pattern_engine::rt::set_realtime_priority();  // a refusal only warns

    std::unique_ptr<pattern_engine::output::OutputSink> midi;
    if (auto sink = pattern_engine::output::midi::MidiSink::connect_first("vorla-engine")) {
        if (sink->unconnected().empty())
            info("  midi: connected to '" + std::string(sink->name()) + "'");
        else
            support::log::warn(log_target, "  midi: " + sink->unconnected());
        midi = std::make_unique<pattern_engine::output::midi::MidiSink>(std::move(*sink));
    } else {
        info("  midi: " + sink.error().display() + " (running without MIDI)");
    }
    std::optional<Instant> next_clock_tick;
    if (config.midi_clock) {
        if (midi) (void)midi->send_clock_start();
        next_clock_tick = Instant::clock::now();
        info("  midi clock: enabled (24 ppqn)");
    }
    // The main loop's wait ends early for MIDI input as for commands.
    auto wake = std::make_shared<support::Wake>();
    auto midi_in = std::make_shared<CcRing>(wake);
    midi_input = try_connect_midi_input(midi_in);
    if (!midi_input) midi_in.reset();

    MainLoop loop(LoopParts{
        .engine = engine,
        .audio = audio,
        .device = device,
        .sample_rate = sample_rate,
        .node_types = std::move(node_types),
        .commands = std::move(commands),
        .ipc = std::move(*handle),
        .midi = std::move(midi),
        .midi_in = std::move(midi_in),
        .next_clock_tick = next_clock_tick,
        .wake = std::move(wake),
    });
    loop.run();
    return {};
}

int main() {
    support::log::init();
    std::signal(SIGPIPE, SIG_IGN);  // a client gone away fails its own write only
    Config config = config_from_env();

    std::error_code ec;
    std::filesystem::create_directories(config.dsp_dir, ec);
    if (ec) {
        support::log::error(log_target, "cannot create DSP dir " + config.dsp_dir.string() +
                                            ": " + ec.message());
        return 0;
    }
    // libfaust changes the working directory while it compiles, on a thread of its own from
    // start-up on: no relative path may be resolved after this point. An empty socket path
    // stays empty, so that binding it fails.
    for (auto* path : {&config.dsp_dir, &config.socket_path}) {
        if (path->empty()) continue;
        if (auto absolute = std::filesystem::absolute(*path, ec); !ec) *path = std::move(absolute);
    }

    const auto device = cpal::query_device();
    if (!device) {
        std::string line = "no audio device: ";
        support::debug::append_quoted(line, device.error());
        line += '\n';
        support::log::write_stderr_line(line);
        return 101;
    }
    info("audio device: " + std::to_string(device->sample_rate) + "Hz, " +
         std::to_string(device->channels) + " ch");

    if (auto r = run(config, device->channels, device->sample_rate); !r)
        support::log::error(log_target, r.error());
    // Everything is released and the files removed; a compile left running must not meet the
    // static destructors of the libraries it runs in.
    if (audio_faust::hot_reload::compile_abandoned()) std::_Exit(0);
    return 0;
}

}  // namespace vorla_engine
