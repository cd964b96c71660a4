#include "pattern_engine/output/midi.hpp"

#include <RtMidi.h>
#include <jack/jack.h>

#include <exception>
#include <type_traits>
#include <utility>
#include <variant>

namespace pattern_engine::output::midi {

namespace {

void quiet(const char*) {}

constexpr RtMidi::Api kApi =
#if defined(__linux__)
    // The default tries ALSA only and throws when there is no sequencer.
    RtMidi::UNIX_JACK;
#else
    RtMidi::UNSPECIFIED;
#endif

unsigned char data(std::uint8_t b) {
    return b & 0x7F;
}
unsigned char status(unsigned char kind, std::uint8_t channel) {
    return kind | (channel & 0x0F);
}

}  // namespace

// The library reports a problem either by throwing or, once a callback is set, through the
// callback (warnings included); both end up as the text of an OutputError.
struct MidiSink::Connection {
    bool reported = false;
    std::string report;
    std::unique_ptr<RtMidiOut> out;  // last: destroyed first, while `report` is still alive

    void reset() {
        reported = false;
        report.clear();
    }

    static void on_error(RtMidiError::Type, const std::string& text, void* self) {
        auto* c = static_cast<Connection*>(self);
        c->reported = true;
        c->report = text;
    }
};

MidiSink::MidiSink(std::string name, std::unique_ptr<Connection> connection)
    : name_(std::move(name)), connection_(std::move(connection)) {}

MidiSink::MidiSink(MidiSink&&) noexcept = default;
MidiSink& MidiSink::operator=(MidiSink&&) noexcept = default;
MidiSink::~MidiSink() = default;

std::expected<MidiSink, OutputError> MidiSink::connect_first(std::string_view client_name) {
    // libjack prints every failed connection attempt otherwise.
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);

    auto c = std::make_unique<Connection>();
    try {
        c->out = std::make_unique<RtMidiOut>(kApi, std::string(client_name));
    } catch (const RtMidiError& e) {
        return std::unexpected(OutputError::midi("init: " + e.getMessage()));
    } catch (const std::exception& e) {
        return std::unexpected(OutputError::midi(std::string("init: ") + e.what()));
    }
    c->out->setErrorCallback(&Connection::on_error, c.get());

    unsigned int count = 0;
    try {
        count = c->out->getPortCount();
    } catch (const std::exception&) {
        count = 0;  // a client that cannot list ports has none to offer
    }
    if (count == 0) return std::unexpected(OutputError::midi("no MIDI output ports available"));

    std::string name;
    c->reset();
    try {
        name = c->out->getPortName(0);
    } catch (const std::exception&) {
        name.clear();
    }
    if (name.empty() || c->reported) name = "unknown";

    c->reset();
    try {
        c->out->openPort(0, "pattern-engine");
    } catch (const RtMidiError& e) {
        return std::unexpected(OutputError::midi("connect: " + e.getMessage()));
    } catch (const std::exception& e) {
        return std::unexpected(OutputError::midi(std::string("connect: ") + e.what()));
    }
    if (c->reported) return std::unexpected(OutputError::midi("connect: " + c->report));
    if (!c->out->isPortOpen())
        return std::unexpected(OutputError::midi("connect: the port did not open"));
    return MidiSink(std::move(name), std::move(c));
}

Result MidiSink::send_bytes(const unsigned char* bytes, std::size_t size) {
    if (!connection_ || !connection_->out)
        return std::unexpected(OutputError::midi("send: the sink is not connected"));
    Connection& c = *connection_;
    c.reset();
    try {
        c.out->sendMessage(bytes, size);
    } catch (const RtMidiError& e) {
        return std::unexpected(OutputError::midi("send: " + e.getMessage()));
    } catch (const std::exception& e) {
        return std::unexpected(OutputError::midi(std::string("send: ") + e.what()));
    }
    if (c.reported) return std::unexpected(OutputError::midi("send: " + c.report));
    return {};
}

Result MidiSink::send(const event::Event<>& event) {
    return std::visit(
        [&](const auto& v) -> Result {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, event::Note>) {
                const unsigned char m[3] = {status(0x90, v.channel), data(v.note),
                                            data(v.velocity)};
                return send_bytes(m, sizeof m);
            } else if constexpr (std::is_same_v<T, event::Cc>) {
                const unsigned char m[3] = {status(0xB0, v.channel), data(v.controller),
                                            data(v.value)};
                return send_bytes(m, sizeof m);
            } else {
                return {};  // Osc and Control have no MIDI form
            }
        },
        static_cast<const event::Value::variant&>(event.value));
}

Result MidiSink::send_note_off(std::uint8_t channel, std::uint8_t note) {
    const unsigned char m[3] = {status(0x80, channel), data(note), 0x00};
    return send_bytes(m, sizeof m);
}

Result MidiSink::send_clock_tick() {
    const unsigned char m = 0xF8;
    return send_bytes(&m, 1);
}

Result MidiSink::send_clock_start() {
    const unsigned char m = 0xFA;
    return send_bytes(&m, 1);
}

Result MidiSink::send_clock_stop() {
    const unsigned char m = 0xFC;
    return send_bytes(&m, 1);
}

}  // namespace pattern_engine::output::midi
