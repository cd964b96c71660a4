// pattern_engine::event — the payload of pattern atoms and of every event the query produces.
//
// `Value` is what an atom carries and what reaches the outputs: a MIDI note, a MIDI control
// change, an OSC-style message or a named control value for the audio graph. `Event` is the
// query's record of one event fragment. Values, used on the IPC thread (reading) and the main
// loop (query, outputs); an Osc body is shared by copies but never changed, and the reference
// count is atomic, so a value may move between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
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

// An OSC-style message. Its body is immutable and shared: every event of an atom refers to the
// atom's body, so a copy costs a reference count however long the address and arguments are.
// Equality compares contents.
class Osc {
public:
    struct Body {
        std::string address;
        std::vector<OscArg> args;
        bool operator==(const Body&) const = default;
    };

    Osc() = default;
    Osc(std::string address, std::vector<OscArg> args)
        : body_(std::make_shared<const Body>(Body{std::move(address), std::move(args)})) {}
    explicit Osc(Body body) : body_(std::make_shared<const Body>(std::move(body))) {}

    const Body& body() const { return body_ ? *body_ : empty(); }
    const std::string& address() const { return body().address; }
    const std::vector<OscArg>& args() const { return body().args; }

    friend bool operator==(const Osc& a, const Osc& b) {
        return a.body_ == b.body_ || a.body() == b.body();
    }

private:
    static const Body& empty() {
        static const Body none;
        return none;
    }

    std::shared_ptr<const Body> body_;  // null for the empty message
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
static_assert(std::is_same_v<std::variant_alternative_t<0, Value::variant>, Note> &&
              std::is_same_v<std::variant_alternative_t<1, Value::variant>, Cc> &&
              std::is_same_v<std::variant_alternative_t<2, Value::variant>, Osc> &&
              std::is_same_v<std::variant_alternative_t<3, Value::variant>, Control>);
static_assert(std::is_same_v<std::variant_alternative_t<0, OscArg::variant>, double> &&
              std::is_same_v<std::variant_alternative_t<1, OscArg::variant>, std::int32_t> &&
              std::is_same_v<std::variant_alternative_t<2, OscArg::variant>, std::string>);

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
