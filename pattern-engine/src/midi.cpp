#include "pattern_engine/output/midi.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <variant>

// Linux talks to JACK itself; defining VORLA_MIDI_RTMIDI builds the other platforms' path here.
#if defined(__linux__) && !defined(VORLA_MIDI_RTMIDI)
#define VORLA_MIDI_JACK 1
#include <jack/jack.h>
#include <jack/midiport.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "support/jack.hpp"
#include "support/spsc.hpp"
#else
#include <RtMidi.h>

#include <exception>
#endif

namespace pattern_engine::output::midi {

namespace {

constexpr char kPortName[] = "pattern-engine";

std::unexpected<OutputError> failure(std::string_view stage, std::string_view text) {
    return std::unexpected(OutputError::midi(std::string(stage) + ": " + std::string(text)));
}

std::uint8_t data(std::uint8_t b) {
    return b & 0x7F;
}
std::uint8_t status(std::uint8_t kind, std::uint8_t channel) {
    return kind | (channel & 0x0F);
}

}  // namespace

#ifdef VORLA_MIDI_JACK

namespace {

struct Message {
    jack_nframes_t frame;  // JACK's frame time when it was sent
    std::uint8_t size;
    std::array<jack_midi_data_t, 3> bytes;
};

}  // namespace

// The main loop pushes into `queue`, JACK's process thread pops; nothing else is shared but
// the client's shutdown flag.
struct MidiSink::Connection {
    std::unique_ptr<support::jack::Client> client;
    jack_port_t* port = nullptr;
    support::SpscRing<Message> queue{kQueueCapacity};
    // Process thread only: the message taken from the queue that has not left yet.
    Message held{};
    bool holding = false;
    // Messages queued (main thread) and written into a period's buffer (process thread), and
    // periods processed.
    std::uint64_t queued = 0;
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> cycles{0};
    // The server's period in frames as the process thread last saw it, and its rate.
    std::atomic<std::uint32_t> period_frames{0};
    std::uint32_t rate = 0;

    // False when libjack may still call into this connection (see support::jack).
    bool close() {
        flush();
        return client->close();
    }

    // Closing the client drops what is still queued (the last note-offs, at shutdown): wait
    // while JACK takes it, then one more period so that its receivers have read the buffer.
    void flush() {
        using namespace std::chrono_literals;
        using Clock = std::chrono::steady_clock;
        constexpr auto stall = 250ms;
        const auto alive = [&] { return !client->lost(); };
        if (queued == 0) return;
        auto progress = Clock::now();
        for (auto seen = written.load(std::memory_order_acquire); alive() && seen != queued;) {
            std::this_thread::sleep_for(1ms);
            const auto now_written = written.load(std::memory_order_acquire);
            if (now_written != seen) {
                seen = now_written;
                progress = Clock::now();
            } else if (Clock::now() - progress > stall) {
                return;
            }
        }
        const auto start = Clock::now();
        const auto cycle = cycles.load(std::memory_order_acquire);
        while (alive() && cycles.load(std::memory_order_acquire) < cycle + 2 &&
               Clock::now() - start < stall)
            std::this_thread::sleep_for(1ms);
    }

    Result send(const std::uint8_t* bytes, std::size_t size) {
        if (client->lost()) {
            const char* reason = client->reason();
            return failure("send",
                           reason[0] ? std::string("the JACK server has shut down (") + reason + ")"
                                     : std::string("the JACK server has shut down"));
        }
        Message m{jack_frame_time(client->get()), static_cast<std::uint8_t>(size), {}};
        std::copy_n(bytes, size, m.bytes.begin());
        if (!queue.try_push(m))
            return failure("send", "the MIDI output queue is full (" +
                                       std::to_string(kQueueCapacity) +
                                       " messages are waiting for JACK)");
        ++queued;
        return {};
    }

    // A message sent at frame f leaves at f + n, so it keeps its place within the period.
    // Late ones (a full buffer before) go at once, in order; offsets never decrease.
    int process(jack_nframes_t n) {
        const support::jack::Client::Cycle cycle(*client);
        if (!cycle) return 0;
        void* buffer = jack_port_get_buffer(port, n);
        jack_midi_clear_buffer(buffer);
        const jack_nframes_t start = jack_last_frame_time(client->get());
        const auto period = static_cast<std::int64_t>(n);
        period_frames.store(n, std::memory_order_relaxed);
        std::int64_t at = 0;
        while (holding || (holding = queue.try_pop(held))) {
            const std::int64_t offset = static_cast<std::int32_t>(held.frame + n - start);
            if (offset >= period && offset < 3 * period) break;  // sent in this period: next one
            if (offset < period) at = std::max(at, offset);      // else the clock jumped: send now
            if (jack_midi_event_write(buffer, static_cast<jack_nframes_t>(at), held.bytes.data(),
                                      held.size) != 0)
                break;  // the period's buffer is full
            holding = false;
            written.fetch_add(1, std::memory_order_release);
        }
        cycles.fetch_add(1, std::memory_order_release);
        return 0;
    }
};

std::expected<MidiSink, OutputError> MidiSink::connect_first(std::string_view client_name) {
    auto c = std::make_unique<Connection>();
    auto client = support::jack::Client::open(std::string(client_name));
    if (!client) return failure("init", client.error().text);
    c->client = std::move(*client);
    jack_client_t* jc = c->client->get();
    c->rate = jack_get_sample_rate(jc);
    c->period_frames = jack_get_buffer_size(jc);

    // Another client's MIDI input is an output of ours; JACK lists ports in registration order.
    std::string first;
    if (const char** ports =
            jack_get_ports(jc, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
        if (ports[0]) first = ports[0][0] ? ports[0] : "unknown";
        jack_free(ports);
    }
    if (first.empty()) return std::unexpected(OutputError::midi("no MIDI output ports available"));

    c->port = jack_port_register(jc, kPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!c->port) return failure("connect", "JACK refused the port 'pattern-engine'");
    jack_set_process_callback(
        jc, [](jack_nframes_t n, void* self) { return static_cast<Connection*>(self)->process(n); },
        c.get());
    if (jack_activate(jc) != 0) return failure("connect", "JACK did not activate the client");
    // A server that refuses or ignores the connection leaves the port for the user to connect.
    auto unconnected = c->client->connect(jack_port_name(c->port), first);
    MidiSink sink(std::move(first), std::move(c));
    if (unconnected) sink.unconnected_ = std::move(*unconnected);
    return sink;
}

#else

namespace {

// The default tries ALSA only and throws when there is no sequencer.
constexpr RtMidi::Api kApi =
#if defined(__linux__)
    RtMidi::UNIX_JACK;
#else
    RtMidi::UNSPECIFIED;
#endif

}  // namespace

// Every call into the MIDI library's output is here. The library reports a problem either by
// throwing or, once a callback is set, through the callback (warnings included); both end up
// as the text of an OutputError.
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

    template <class F>
    Result call(std::string_view stage, F&& f) {
        reset();
        try {
            f();
        } catch (const std::exception& e) {
            return failure(stage, e.what());
        }
        if (reported) return failure(stage, report);
        return {};
    }

    Result send(const std::uint8_t* bytes, std::size_t size) {
        return call("send", [&] { out->sendMessage(bytes, size); });
    }
    bool close() { return true; }
};

std::expected<MidiSink, OutputError> MidiSink::connect_first(std::string_view client_name) {
    auto c = std::make_unique<Connection>();
    try {
        c->out = std::make_unique<RtMidiOut>(kApi, std::string(client_name));
    } catch (const std::exception& e) {
        return failure("init", e.what());
    }
    c->out->setErrorCallback(&Connection::on_error, c.get());

    unsigned int count = 0;
    (void)c->call("list", [&] { count = c->out->getPortCount(); });
    if (count == 0) return std::unexpected(OutputError::midi("no MIDI output ports available"));

    std::string name;
    if (!c->call("name", [&] { name = c->out->getPortName(0); }) || name.empty()) name = "unknown";
    if (auto opened = c->call("connect", [&] { c->out->openPort(0, kPortName); }); !opened)
        return std::unexpected(opened.error());
    if (!c->out->isPortOpen()) return failure("connect", "the port did not open");
    return MidiSink(std::move(name), std::move(c));
}

#endif

MidiSink::MidiSink(std::string name, std::unique_ptr<Connection> connection)
    : name_(std::move(name)), connection_(std::move(connection)) {}

MidiSink::MidiSink(MidiSink&&) noexcept = default;

MidiSink& MidiSink::operator=(MidiSink&& other) noexcept {
    if (this != &other) {
        release();
        name_ = std::move(other.name_);
        unconnected_ = std::move(other.unconnected_);
        connection_ = std::move(other.connection_);
    }
    return *this;
}

MidiSink::~MidiSink() {
    release();
}

void MidiSink::release() {
    // A connection that libjack may still call into is kept rather than freed.
    if (connection_ && !connection_->close()) (void)connection_.release();
    connection_.reset();
}

std::size_t MidiSink::room() const {
#ifdef VORLA_MIDI_JACK
    if (!connection_) return 0;
    return kQueueCapacity - connection_->queue.size();
#else
    return OutputSink::room();
#endif
}

std::chrono::nanoseconds MidiSink::drain_period() const {
#ifdef VORLA_MIDI_JACK
    if (!connection_ || connection_->rate == 0) return {};
    return std::chrono::nanoseconds(std::uint64_t{1'000'000'000} *
                                    connection_->period_frames.load(std::memory_order_relaxed) /
                                    connection_->rate);
#else
    return {};
#endif
}

bool MidiSink::gone() const {
#ifdef VORLA_MIDI_JACK
    return !connection_ || connection_->client->lost();
#else
    return !connection_;
#endif
}

Result MidiSink::send_bytes(const std::uint8_t* bytes, std::size_t size) {
    if (!connection_) return failure("send", "the sink is not connected");
    return connection_->send(bytes, size);
}

Result MidiSink::send(const event::Event<>& event) {
    return std::visit(
        [&](const auto& v) -> Result {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, event::Note>) {
                const std::uint8_t m[3] = {status(0x90, v.channel), data(v.note), data(v.velocity)};
                return send_bytes(m, sizeof m);
            } else if constexpr (std::is_same_v<T, event::Cc>) {
                const std::uint8_t m[3] = {status(0xB0, v.channel), data(v.controller),
                                           data(v.value)};
                return send_bytes(m, sizeof m);
            } else {
                return {};  // Osc and Control have no MIDI form
            }
        },
        static_cast<const event::Value::variant&>(event.value));
}

Result MidiSink::send_note_off(std::uint8_t channel, std::uint8_t note) {
    const std::uint8_t m[3] = {status(0x80, channel), data(note), 0x00};
    return send_bytes(m, sizeof m);
}

Result MidiSink::send_clock_tick() {
    const std::uint8_t m = 0xF8;
    return send_bytes(&m, 1);
}

Result MidiSink::send_clock_start() {
    const std::uint8_t m = 0xFA;
    return send_bytes(&m, 1);
}

Result MidiSink::send_clock_stop() {
    const std::uint8_t m = 0xFC;
    return send_bytes(&m, 1);
}

}  // namespace pattern_engine::output::midi
