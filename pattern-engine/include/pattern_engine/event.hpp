// pattern_engine::event — the payload of pattern atoms and of every event the query produces.
//
// `Value` is what an atom carries and what reaches the outputs: a MIDI note, a MIDI control
// change, an OSC-style message or a named control value for the audio graph. `Event` is the
// query's record of one event fragment. Plain values, used on the IPC thread (reading) and the
// main loop (query, outputs); nothing here is shared between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "pattern_engine/time.hpp"
#include "support/json.hpp"

namespace pattern_engine::event {

// One OSC argument; kinds in wire order: Float, Int, Str.
struct OscArg : std::variant<double, std::int32_t, std::string> {
    using variant::variant;
};

struct Note {
    std::uint8_t channel = 0;
    std::uint8_t note = 0;
    std::uint8_t velocity = 0;
    double dur = 0.0;  // in the host's note-length unit
    bool operator==(const Note&) const = default;
};

struct Cc {
    std::uint8_t channel = 0;
    std::uint8_t controller = 0;
    std::uint8_t value = 0;
    bool operator==(const Cc&) const = default;
};

struct Osc {
    std::string address;
    std::vector<OscArg> args;
    bool operator==(const Osc&) const = default;
};

struct Control {
    std::string label;
    float value = 0.0f;
    bool operator==(const Control&) const = default;
};

// Kinds in wire order (the index is also accepted as the tag): Note, Cc, Osc, Control.
struct Value : std::variant<Note, Cc, Osc, Control> {
    using variant::variant;
};

// One fragment of an event: `part` lies inside the queried span; `whole`, when present, is the
// event's full extent. The fragment whose part begins where its whole begins is the onset.
template <class T = Value>
struct Event {
    std::optional<time::Arc> whole;
    time::Arc part;
    T value;

    bool has_onset() const { return whole && whole->begin == part.begin; }
    bool operator==(const Event&) const = default;
};

// Readers: {"type": "Note", ...} or ["Note", ...]; {"Float": 1.5}, {"Int": 2}, {"Str": "x"}.
support::json::Status read_json(support::json::Element e, Value& out);
support::json::Status read_json(support::json::Element e, OscArg& out);

}  // namespace pattern_engine::event
