// pattern_engine::output — where the pattern engine's events leave the process.
//
// An `OutputSink` is one output (the MIDI sink in output/midi.hpp is the only implementation).
// `dispatch` routes an event by its value: Note and Cc to the MIDI sink, Osc to the OSC sink,
// Control nowhere; an absent sink means success with nothing sent. Every sink operation
// returns its failure as an `OutputError`; the sink stays usable after one. A sink with a
// bounded queue tells how many messages it would take now (`room`), so that its caller can keep
// room for what must not be refused (note-offs).
//
// A sink belongs to one thread (the host's main loop) and takes no lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "pattern_engine/event.hpp"

namespace pattern_engine::output {

struct OutputError {
    enum class Kind { Midi, Osc };

    Kind kind = Kind::Midi;
    std::string text;

    static OutputError midi(std::string text) { return {Kind::Midi, std::move(text)}; }
    static OutputError osc(std::string text) { return {Kind::Osc, std::move(text)}; }

    // "MIDI error: {text}" or "OSC error: {text}".
    std::string display() const;
    bool operator==(const OutputError&) const = default;
};

using Result = std::expected<void, OutputError>;

class OutputSink {
public:
    virtual ~OutputSink() = default;

    // Sends the event's value (what a sink cannot carry is skipped with success).
    virtual Result send(const event::Event<>& event) = 0;
    virtual Result send_note_off(std::uint8_t channel, std::uint8_t note) = 0;
    virtual Result send_clock_tick() = 0;
    virtual Result send_clock_start() = 0;
    virtual Result send_clock_stop() = 0;
    virtual std::string_view name() const = 0;
    // Messages the sink would accept now, at least; a sink without a bounded queue says so
    // with the largest count.
    virtual std::size_t room() const { return std::numeric_limits<std::size_t>::max(); }
    // True once the sink can never send again (its server has shut down): nothing it refused
    // is worth waiting for.
    virtual bool gone() const { return false; }
    // How long the sink takes to free the room of a full queue's worth of sending (one period of
    // its server); zero when it does not say.
    virtual std::chrono::nanoseconds drain_period() const { return {}; }
};

// Either sink may be null (the host passes no OSC sink).
Result dispatch(const event::Event<>& event, OutputSink* midi, OutputSink* osc);

}  // namespace pattern_engine::output
