// pattern_engine::output::midi — the MIDI sink: raw MIDI bytes to the first MIDI output port.
//
// On Linux the port is a JACK MIDI port (the system's JACK server, JACK_DEFAULT_SERVER).
// Bytes sent (ch = channel AND 0x0F, data bytes AND 0x7F):
//   Note -> 0x90|ch note velocity      Cc -> 0xB0|ch controller value
//   note-off -> 0x80|ch note 0x00      clock tick/start/stop -> 0xF8 / 0xFA / 0xFC
// Osc and Control values send nothing and succeed. Failures are MIDI errors with the texts
// "init: ...", "no MIDI output ports available", "connect: ..." or "send: ...".
//
// Movable, owned by one thread; the connection closes when the sink is dropped.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "pattern_engine/output.hpp"

namespace pattern_engine::output::midi {

class MidiSink final : public OutputSink {
public:
    // Opens a MIDI client named `client_name` and connects to the first output port listed.
    static std::expected<MidiSink, OutputError> connect_first(std::string_view client_name);

    MidiSink(MidiSink&&) noexcept;
    MidiSink& operator=(MidiSink&&) noexcept;
    ~MidiSink() override;

    Result send(const event::Event<>& event) override;
    Result send_note_off(std::uint8_t channel, std::uint8_t note) override;
    Result send_clock_tick() override;
    Result send_clock_start() override;
    Result send_clock_stop() override;
    // The connected port's name, or "unknown" when it could not be read.
    std::string_view name() const override { return name_; }

private:
    struct Connection;  // the MIDI library's objects, kept out of this header

    MidiSink(std::string name, std::unique_ptr<Connection> connection);
    Result send_bytes(const unsigned char* bytes, std::size_t size);

    std::string name_;
    std::unique_ptr<Connection> connection_;
};

}  // namespace pattern_engine::output::midi
