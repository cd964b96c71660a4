// vorla_engine — the engine as a process: configuration, start-up, the main loop that drives
// the pattern engine and the audio graph from one clock, the audio callback and MIDI input.
//
// `main` (the executable's entry) sets up logging and the DSP directory, queries the audio
// device and calls `run`, which builds everything, starts audio and the IPC server, connects
// MIDI and runs the `MainLoop` on the calling (main) thread until a "shutdown" request.
//
// Threads: `MainLoop` lives on the main thread. The `AudioCallback` is owned by the output
// stream and runs on the device's render thread: it never locks, allocates, logs or waits.
// The MIDI input callback runs on the MIDI library's thread (for JACK its realtime process
// thread) and only pushes into a lock-free ring; a full ring drops the message.
// Every record logged here has the target `vorla_engine`.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "audio_engine/engine.hpp"
#include "audio_engine/nodes/adc.hpp"
#include "audio_faust/hot_reload.hpp"
#include "pattern_engine/engine.hpp"
#include "pattern_engine/output.hpp"
#include "support/spsc.hpp"
#include "vorla_engine/ipc.hpp"

namespace vorla_engine {

using pattern_engine::engine::Duration;
using pattern_engine::engine::Instant;

inline constexpr std::string_view log_target = "vorla_engine";
inline constexpr std::size_t block_frames = 256;
inline constexpr std::uint32_t start_crossfade_ms = 10;
inline constexpr double start_bpm = 120.0;
inline constexpr double start_beats_per_cycle = 4.0;
inline constexpr std::chrono::milliseconds lookahead{100};
// How far ahead of their due instants the loop takes events from the pattern engine.
inline constexpr std::chrono::milliseconds drain_ahead{100};
inline constexpr std::chrono::milliseconds max_sleep{1};
// The meter the status reply reports, whatever the beats per cycle.
inline constexpr double status_meter = 4.0;
// Clock pulses one pass sends at most before the clock is put back on the current instant.
inline constexpr std::size_t max_clock_burst = 1024;

// ---- configuration ----

struct Config {
    std::filesystem::path dsp_dir;
    std::filesystem::path socket_path;
    bool midi_clock = false;
};

// The raw value of an environment variable, none when unset.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// From "ZORVA_DSP_DIR", "HOME", "ZORVA_SOCKET", "TMPDIR" and "ZORVA_MIDI_CLOCK" only; a value
// that is not valid UTF-8 counts as unset, and so does an empty "TMPDIR" (it would make the
// socket path relative to a working directory that libfaust changes while it compiles).
Config config_from_env(const EnvLookup& lookup);
Config config_from_env();

// ---- the audio callback ----

// Renders a device buffer of interleaved frames in chunks of at most `block_frames` through
// the processor into a scratch block made once, and copies each mono sample into every
// channel of its frame. Samples after the last whole frame are left as they are.
template <class Processor>
class AudioCallback {
public:
    AudioCallback(Processor processor, std::size_t channels)
        : processor_(std::move(processor)), scratch_(block_frames, 0.0f), channels_(channels) {}

    void operator()(std::span<float> buffer) {
        if (channels_ == 0) return;  // a device without outputs has no frames
        const std::size_t frames = buffer.size() / channels_;
        for (std::size_t done = 0; done < frames;) {
            const std::size_t n = std::min(frames - done, block_frames);
            std::fill_n(scratch_.begin(), n, 0.0f);
            processor_.process(std::span<float>(scratch_.data(), n));
            float* out = buffer.data() + done * channels_;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t c = 0; c < channels_; ++c) *out++ = scratch_[i];
            done += n;
        }
    }

    Processor& processor() { return processor_; }

private:
    Processor processor_;
    std::vector<float> scratch_;
    std::size_t channels_;
};

AudioCallback<audio_engine::engine::AudioProcessor> make_audio_callback(
    audio_engine::engine::AudioProcessor processor, std::size_t channels);

// ---- MIDI input ----

// (channel, controller, value) of one control change.
using CcTriple = std::array<std::uint8_t, 3>;
using CcRing = support::SpscRing<CcTriple>;
inline constexpr std::size_t cc_ring_slots = 1024;

// The triple of a control-change message (status 0xB0..0xBF, at least three bytes; bytes
// after the third and the data bytes' range are not checked), none for anything else.
std::optional<CcTriple> control_change(std::span<const std::uint8_t> message);

// An open MIDI input connection; closed when dropped.
class MidiInput {
public:
    struct Impl;
    explicit MidiInput(std::unique_ptr<Impl> impl);
    MidiInput(MidiInput&&) noexcept;
    MidiInput& operator=(MidiInput&&) noexcept;
    ~MidiInput();

private:
    std::unique_ptr<Impl> impl_;
};

// Connects the first MIDI input port as client "vorla-engine-in", port "zorva-cc", passing
// its control changes into `ring`; logs one of the "  midi input: ..." lines. None when there
// is no input library, no port or the connection fails.
std::optional<MidiInput> try_connect_midi_input(std::shared_ptr<CcRing> ring);

// ---- the main loop ----

namespace pending {
struct ControlValue {
    std::string label;
    float value = 0.0f;
    Instant at;
};
struct MasterGain {
    float gain = 0.0f;
    Instant at;
};
}  // namespace pending

// A control change waiting for its due instant.
struct PendingEvent : std::variant<pending::ControlValue, pending::MasterGain> {
    using variant::variant;
    Instant at() const {
        return std::visit([](const auto& e) { return e.at; }, *this);
    }
};

struct NoteOff {
    Instant due;
    std::uint8_t channel = 0;
    std::uint8_t note = 0;
};

struct MidiMapping {
    std::string label;
    float lo = 0.0f;
    float hi = 0.0f;
};

// What the loop needs of the audio device: stopping playback at shutdown and capturing input.
class AudioDevice {
public:
    virtual ~AudioDevice() = default;
    virtual void stop() = 0;
    virtual std::expected<std::shared_ptr<audio_engine::nodes::adc::CaptureRing>, std::string>
    start_input(std::uint32_t sample_rate, std::size_t channel) = 0;
};

// The loop's time: the current instant and a short sleep (tests drive both).
struct LoopClock {
    std::function<Instant()> now;
    std::function<void(Duration)> sleep;
};
LoopClock monotonic_clock();

// Sleeps for `d` (at most a few ms): a timer sleep for all but the last stretch, which spins.
void precise_sleep(Duration d);

// 240 / bpm seconds (four beats) in samples: the length of a curve automation's cycle.
std::uint64_t curve_period_samples(double bpm, std::uint32_t sample_rate);
// Table size asked of the pattern engine per cycle.
std::size_t points_per_cycle(double bpm, std::uint32_t sample_rate);
// Half a beat in samples: the crossfade of a "load_graph".
std::uint64_t load_crossfade_samples(double bpm, std::uint32_t sample_rate);

// Everything start-up hands to the loop. The loop owns what it is given by value and
// releases it at shutdown in the order of the members below, last first.
struct LoopParts {
    pattern_engine::engine::Engine& engine;
    audio_faust::hot_reload::HotReloadEngine& audio;
    AudioDevice& device;
    std::uint32_t sample_rate = 0;
    std::shared_ptr<ipc::NodeTypeList> node_types;
    ipc::LoopReceiver commands;
    std::optional<ipc::IpcHandle> ipc;
    std::unique_ptr<pattern_engine::output::OutputSink> midi;
    std::shared_ptr<CcRing> midi_in;
    std::optional<Instant> next_clock_tick;
    LoopClock clock = monotonic_clock();
};

class MainLoop {
public:
    using SlotAutomations = std::unordered_map<std::size_t, std::vector<std::string>>;

    explicit MainLoop(LoopParts parts);

    // One pass: command intake, timed output, sleep. False once "shutdown" was applied (the
    // audio output is stopped by then).
    bool pass();
    void run() {
        while (pass()) {
        }
    }

    const SlotAutomations& slot_automations() const { return slot_automations_; }
    std::size_t points_per_cycle() const { return points_per_cycle_; }
    std::size_t pending_output() const { return pending_output_.size(); }
    std::size_t pending_controls() const { return pending_controls_.size(); }
    std::size_t pending_note_offs() const { return note_offs_.size(); }
    std::optional<Instant> next_clock_tick() const { return next_clock_tick_; }

private:
    struct Later {
        bool operator()(const NoteOff& a, const NoteOff& b) const { return a.due > b.due; }
    };

    // false after "shutdown"
    bool take_commands();
    void apply_pattern(pattern_engine::engine::EngineCommand command);
    bool apply_audio(ipc::loop::AudioRequest request);
    ipc::AudioResult audio_result(audio_engine::protocol::ClientMessage& message);
    void answer_state(ipc::loop::StateRequest request);
    void clear_slot_automations(std::size_t slot);
    void refresh_node_types();

    void send_curves(Instant now);
    void file_due_events(Instant now);
    void apply_due_controls(Instant now);
    void send_due_output(Instant now);
    void poll_reload();
    void send_note_offs();
    void send_clock();
    void apply_midi_in();
    void sleep_until_deadline();

    pattern_engine::engine::Engine& engine_;
    audio_faust::hot_reload::HotReloadEngine& audio_;
    AudioDevice& device_;
    std::uint32_t sample_rate_;
    LoopClock clock_;
    std::shared_ptr<ipc::NodeTypeList> node_types_;
    ipc::LoopReceiver commands_;
    std::optional<ipc::IpcHandle> ipc_;
    std::unique_ptr<pattern_engine::output::OutputSink> midi_;
    std::shared_ptr<CcRing> midi_in_;
    std::unordered_map<std::uint16_t, MidiMapping> midi_cc_map_;  // key: channel << 8 | cc
    std::priority_queue<NoteOff, std::vector<NoteOff>, Later> note_offs_;
    std::vector<PendingEvent> pending_controls_;
    std::vector<pattern_engine::engine::TimedEvent> pending_output_;
    SlotAutomations slot_automations_;
    std::optional<Instant> next_clock_tick_;
    std::size_t points_per_cycle_;
};

// ---- the process ----

// Start-up after the device query, then the main loop; an error text when start-up fails.
std::expected<void, std::string> run(const Config& config, std::size_t channels,
                                     std::uint32_t sample_rate);

// The process: returns the exit status (101 when no audio device answers, else 0).
int main();

}  // namespace vorla_engine
