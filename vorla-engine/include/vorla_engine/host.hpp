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
// thread) and only stores into a lock-free table of latest values (`CcRing`), which wakes the
// loop without locking and never loses a controller's last value.
// Every record logged here has the target `vorla_engine`.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
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
#include "support/wake.hpp"
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
// Refused MIDI sends are logged at most this often, with their count.
inline constexpr std::chrono::seconds refusal_report_interval{1};
// At shutdown the loop stops waiting for room for its last note-offs after this long without
// progress (a MIDI system that no longer drains).
inline constexpr std::chrono::milliseconds shutdown_note_off_stall{250};
// The meter the status reply reports, whatever the beats per cycle.
inline constexpr double status_meter = 4.0;
// How long a start_input request waits for the device (a stalled audio server keeps it
// waiting) before it is answered with an error.
inline constexpr std::chrono::seconds input_start_timeout{3};
// How late a note-on (or control change) that found no room in the MIDI sink's queue may
// still be sent, as room comes. A burst of a full queue of note-offs and as many note-ons
// needs about three JACK periods of 256 frames to pass (JACK takes about 2,700 messages a
// period); later than this a note would be heard out of time, so it is dropped instead.
inline constexpr std::chrono::milliseconds max_held_lateness{20};
// ... or this many periods of the sink's server, when they are longer.
inline constexpr int held_periods = 4;
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

// Control changes from the MIDI input to the main loop. Only the latest value of each
// (channel, controller) matters to the loop, so that is what is kept: a table of one entry per
// pair (value and a pending bit) and a ring of the pairs whose entry is pending, each in it at
// most once, so the ring is never full and a flood can never lose a pair's last value. Pairs
// leave in the order of their first change since they were last taken. The producer (the MIDI
// thread, JACK's realtime thread included) wakes the loop after each push. Everything is made
// in the constructor: neither side locks, allocates or waits.
class CcRing {
public:
    explicit CcRing(std::shared_ptr<support::Wake> wake = nullptr);

    // Producer only. False only for a channel above 15 (the triple is dropped).
    bool try_push(const CcTriple& triple);
    // Consumer only: the next pending pair with its latest value.
    std::optional<CcTriple> try_pop();

private:
    // Controller and value bytes are not range-checked, so each has 256 values.
    static constexpr std::size_t kKeys = 16 * 256;
    static constexpr std::uint16_t kPending = 0x100;
    static_assert(std::atomic<std::uint16_t>::is_always_lock_free);

    std::unique_ptr<std::atomic<std::uint16_t>[]> latest_;
    support::SpscRing<std::uint16_t> keys_{kKeys};
    const std::shared_ptr<support::Wake> wake_;
};

// The triple of a control-change message (status 0xB0..0xBF, at least three bytes; bytes
// after the third and the data bytes' range are not checked), none for anything else.
std::optional<CcTriple> control_change(std::span<const std::uint8_t> message);

// An open MIDI input; on Linux a libjack client of its own (see support::jack). It stays open,
// connected or not, until dropped; dropping it closes the client, or leaks it when libjack may
// still call in after a lost server.
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

// Opens client "vorla-engine-in" with input port "zorva-cc", connects the first MIDI output
// port of another client to it (never the engine's own "vorla-engine:..." ports) and passes
// the control changes it receives into `ring`. Logs one "  midi input: ..." line: "connected
// to '<port>'", or a warning ending in ": connect it yourself" when the server refuses or
// ignores the connection (the input is kept for the user to connect), or, returning none,
// "no ports available", "connect failed: ..." or why no client could be made (no server, a
// refusal, a server this process lost) followed by " (running without MIDI input)". Nothing
// else reaches standard error.
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

// A capture that started (its ring, and why its port is not connected, if it is not), or why
// none did.
struct InputStarted {
    std::expected<std::shared_ptr<audio_engine::nodes::adc::CaptureRing>, std::string> ring;
    std::string unconnected;
};

// What the loop needs of the audio device: stopping playback at shutdown and capturing input.
class AudioDevice {
public:
    using InputDone = std::move_only_function<void(InputStarted)>;
    virtual ~AudioDevice() = default;
    // Stops playback; from this call on the process ends within a few seconds, whatever the
    // audio server does.
    virtual void stop() = 0;
    // Starts capturing off the calling thread, since the audio server may keep a call waiting
    // for as long as it stalls; `done` gets the result once, on any thread (also before this
    // returns). Requests are carried out in the order they came.
    virtual void start_input(std::uint32_t sample_rate, std::size_t channel, InputDone done) = 0;
};

// The loop's time: the current instant, and a wait until a deadline that ends early once
// `wake` is notified after `seen` was read (tests drive both).
struct LoopClock {
    std::function<Instant()> now;
    std::function<void(Instant deadline, support::Wake& wake, support::Wake::Token seen)>
        wait_until;
};
// The monotonic clock; the wait sleeps in the kernel on an absolute deadline, never spinning.
LoopClock monotonic_clock();

// One cycle of the clock (its beats per cycle at its bpm) in samples: the length of a curve
// automation.
std::uint64_t curve_period_samples(const pattern_engine::scheduler::clock::Clock& clock,
                                   std::uint32_t sample_rate);
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
    // Notified by whatever feeds the loop (the command channel, the MIDI input ring); one is
    // made when none is given.
    std::shared_ptr<support::Wake> wake = nullptr;
};

class MainLoop {
public:
    using SlotAutomations = std::unordered_map<std::size_t, std::vector<std::string>>;

    explicit MainLoop(LoopParts parts);

    // One pass: command intake, timed output, sleep until the next deadline or until a
    // command or MIDI input arrives. False once "shutdown" was applied: the audio output is
    // stopped and every pending note-off sent by then.
    bool pass();
    // Passes until "shutdown", with the calling thread's timer slack at its minimum.
    void run();

    const SlotAutomations& slot_automations() const { return slot_automations_; }
    std::size_t points_per_cycle() const { return points_per_cycle_; }
    std::size_t pending_output() const { return pending_output_.size(); }
    // Due MIDI events waiting for room in the sink's queue.
    std::size_t held_output() const { return held_output_.size(); }
    std::size_t pending_controls() const { return pending_controls_.size(); }
    std::size_t pending_note_offs() const { return note_offs_.size(); }
    std::size_t pending_curves() const { return pending_curves_.size(); }
    std::size_t held_requests() const { return held_.size(); }
    std::optional<Instant> next_clock_tick() const { return next_clock_tick_; }

private:
    // false after "shutdown"
    bool take_commands();
    void apply_pattern(pattern_engine::engine::EngineCommand command);
    bool apply_audio(ipc::loop::AudioRequest request);
    // Applies the held requests whose graphs can now be built, oldest first.
    void apply_held();
    void apply_now(ipc::loop::AudioRequest request);
    ipc::AudioResult audio_result(audio_engine::protocol::ClientMessage& message);
    void answer_state(ipc::loop::StateRequest request);
    void clear_slot_automations(std::size_t slot);
    void refresh_node_types();
    // Answers the start_input requests whose capture the device has finished starting, and
    // those it has kept past their deadline.
    void finish_inputs(Instant now);

    void send_curves(Instant now);
    void send_curve(pattern_engine::engine::CurveOutput curve, std::string id, Instant now);
    void file_due_events(Instant now);
    void apply_due_controls(Instant now);
    void send_due_output(Instant now);
    void poll_reload();
    // Sends the note-offs due at or before `until` until the sink refuses one, which stays;
    // the number sent.
    std::size_t send_note_offs(Instant until);
    void send_clock();
    void apply_midi_in();
    void refused(const pattern_engine::output::OutputError& error);
    void report_refusals(Instant now, bool at_shutdown);
    void sleep_until_deadline(support::Wake::Token seen);
    void end_sounding_notes();

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
    // start_input requests the device is working on, oldest first, each answered when its
    // capture has started (or failed to) or at its deadline; the device's results by request.
    struct PendingInput {
        std::uint64_t id = 0;
        std::size_t channel = 0;
        Instant deadline;
        support::channel::SlotSender<ipc::AudioResult> reply;
    };
    std::vector<PendingInput> pending_inputs_;
    // Audio requests waiting, in order, for the Faust instances of the first one's graph.
    std::deque<ipc::loop::AudioRequest> held_;
    std::uint64_t next_input_id_ = 0;
    std::pair<support::channel::Sender<std::pair<std::uint64_t, InputStarted>>,
              support::channel::Receiver<std::pair<std::uint64_t, InputStarted>>>
        inputs_ = support::channel::unbounded<std::pair<std::uint64_t, InputStarted>>();
    // Heaps, the earliest due at the front.
    std::vector<NoteOff> note_offs_;
    std::vector<PendingEvent> pending_controls_;
    std::vector<pattern_engine::engine::TimedEvent> pending_output_;
    std::vector<pattern_engine::engine::CurveOutput> pending_curves_;
    bool note_offs_waiting_ = false;  // the sink refused a due note-off in this pass
    // Due events the sink had no room for, in due order, each sent once room comes (its
    // note-off is filed then) or dropped once later than `max_held_lateness`.
    std::vector<pattern_engine::engine::TimedEvent> held_output_;
    // Reused by every pass: what came due in it.
    std::vector<PendingEvent> due_controls_;
    std::vector<pattern_engine::engine::TimedEvent> due_output_;
    std::vector<pattern_engine::engine::TimedEvent> merged_output_;
    std::vector<pattern_engine::engine::CurveOutput> due_curves_;
    SlotAutomations slot_automations_;
    std::optional<Instant> next_clock_tick_;
    std::size_t points_per_cycle_;
    std::shared_ptr<support::Wake> wake_;
    // Refused MIDI sends not yet logged, the last one's text, and when the last line went out.
    std::size_t refusals_ = 0;
    pattern_engine::output::OutputError last_refusal_;
    std::optional<Instant> last_refusal_report_;
};

// ---- the process ----

// Start-up after the device query, then the main loop; an error text when start-up fails.
std::expected<void, std::string> run(const Config& config, std::size_t channels,
                                     std::uint32_t sample_rate);

// The process: returns the exit status (101 when no audio device answers, else 0).
int main();

}  // namespace vorla_engine
