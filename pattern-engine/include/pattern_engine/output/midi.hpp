// pattern_engine::output::midi — the MIDI sink: raw MIDI bytes to the first MIDI output port.
//
// Bytes sent (ch = channel AND 0x0F, data bytes AND 0x7F):
//   Note -> 0x90|ch note velocity      Cc -> 0xB0|ch controller value
//   note-off -> 0x80|ch note 0x00      clock tick/start/stop -> 0xF8 / 0xFA / 0xFC
// Osc and Control values send nothing and succeed. Failures are MIDI errors with the texts
// "init: ...", "no MIDI output ports available", "connect: ..." or "send: ...".
//
// On Linux the sink is a client of the JACK server (JACK_DEFAULT_SERVER) with its own MIDI
// output port "pattern-engine", connected to the first MIDI input port of another client (a
// server that does not make the connection leaves the sink open and says so in `unconnected`). A
// send never blocks: it stamps the message with JACK's current frame time and queues it in a
// lock-free ring of `kQueueCapacity` messages; the port's process callback writes it one
// period later at the same place in the period (a fixed latency of one period, no jitter).
// Messages that do not fit a period's buffer leave in the next periods, in order. A full
// queue or a server that has shut down fails the send with "send: ..." (the message is not
// queued); the sink stays usable; `room` tells how much of the queue is free. Elsewhere the
// MIDI library's output is used (its room is not known).
//
// Movable, owned by one thread. The connection closes when the sink is dropped, once what was
// queued has left (a wait of a few periods at most; none once the server is gone or stops
// taking messages).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "pattern_engine/output.hpp"

namespace pattern_engine::output::midi {

class MidiSink final : public OutputSink {
public:
    // Messages waiting for the JACK process callback; about 30 periods of a full MIDI buffer.
    static constexpr std::size_t kQueueCapacity = 4096;

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
    std::size_t room() const override;
    bool gone() const override;
    std::chrono::nanoseconds drain_period() const override;
    // Why the sink's port is not connected to the port it names (a JACK server that refuses or
    // ignores its clients' connection requests): the user connects it. Empty when it is.
    const std::string& unconnected() const { return unconnected_; }

private:
    struct Connection;  // the platform's MIDI objects, kept out of this header

    MidiSink(std::string name, std::unique_ptr<Connection> connection);
    Result send_bytes(const std::uint8_t* bytes, std::size_t size);
    void release();

    std::string name_;
    std::string unconnected_;
    std::unique_ptr<Connection> connection_;
};

}  // namespace pattern_engine::output::midi
