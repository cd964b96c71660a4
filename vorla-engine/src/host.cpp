// Configuration, the audio callback and MIDI input.

#include <cstdlib>

// Linux takes MIDI input from JACK itself; defining VORLA_MIDI_RTMIDI builds the other
// platforms' path here.
#if defined(__linux__) && !defined(VORLA_MIDI_RTMIDI)
#define VORLA_MIDI_IN_JACK 1
#include <jack/jack.h>
#include <jack/midiport.h>

#include "support/jack.hpp"
#else
#include <RtMidi.h>
#endif

#include "support/json.hpp"
#include "support/log.hpp"
#include "vorla_engine/host.hpp"

namespace vorla_engine {

namespace {

std::optional<std::string> unicode(const EnvLookup& lookup, const char* name) {
    auto value = lookup(name);
    if (value && !support::json::valid_utf8(*value)) return std::nullopt;
    return value;
}

}  // namespace

Config config_from_env(const EnvLookup& lookup) {
    Config config;
    if (auto dir = unicode(lookup, "ZORVA_DSP_DIR"))
        config.dsp_dir = *dir;
    else if (auto home = unicode(lookup, "HOME"))
        config.dsp_dir = std::filesystem::path(*home) / ".vorla/dsp";
    else
        config.dsp_dir = "/tmp/zorva/dsp";
    if (auto socket = unicode(lookup, "ZORVA_SOCKET")) {
        config.socket_path = *socket;
    } else {
        auto tmp = lookup("TMPDIR");
        config.socket_path =
            std::filesystem::path(tmp && !tmp->empty() ? *tmp : "/tmp") / "vorla.sock";
    }
    config.midi_clock = lookup("ZORVA_MIDI_CLOCK") == "1";
    return config;
}

Config config_from_env() {
    return config_from_env([](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (!value) return std::nullopt;
        return std::string(value);
    });
}

AudioCallback<audio_engine::engine::AudioProcessor> make_audio_callback(
    audio_engine::engine::AudioProcessor processor, std::size_t channels) {
    return {std::move(processor), channels};
}

// ---- MIDI input ----

CcRing::CcRing(std::shared_ptr<support::Wake> wake)
    : latest_(std::make_unique<std::atomic<std::uint16_t>[]>(kKeys)), wake_(std::move(wake)) {}

bool CcRing::try_push(const CcTriple& triple) {
    const auto [channel, controller, value] = triple;
    if (channel > 15) return false;
    const auto key = static_cast<std::uint16_t>(channel << 8 | controller);
    const std::uint16_t was = latest_[key].exchange(kPending | value, std::memory_order_acq_rel);
    // A pending pair is in the ring already: the consumer reads the value just stored.
    if (!(was & kPending)) (void)keys_.try_push(key);
    if (wake_) wake_->notify();
    return true;
}

std::optional<CcTriple> CcRing::try_pop() {
    const auto key = keys_.try_pop();
    if (!key) return std::nullopt;
    // Cleared before the value is read: a later push queues the pair again.
    const std::uint16_t entry =
        latest_[*key].fetch_and(static_cast<std::uint16_t>(~kPending), std::memory_order_acq_rel);
    return CcTriple{static_cast<std::uint8_t>(*key >> 8), static_cast<std::uint8_t>(*key & 0xFF),
                    static_cast<std::uint8_t>(entry & 0xFF)};
}

std::optional<CcTriple> control_change(std::span<const std::uint8_t> message) {
    if (message.size() < 3 || (message[0] & 0xF0) != 0xB0) return std::nullopt;
    return CcTriple{static_cast<std::uint8_t>(message[0] & 0x0F), message[1], message[2]};
}

namespace {

constexpr char kClientName[] = "vorla-engine-in";
constexpr char kPortName[] = "zorva-cc";

void info(const std::string& text) {
    support::log::info(log_target, "  midi input: " + text);
}

void release(std::unique_ptr<MidiInput::Impl>& impl);

}  // namespace

#ifdef VORLA_MIDI_IN_JACK

// What the process callback uses; heap-held so that its address stays put.
struct MidiInput::Impl {
    std::shared_ptr<CcRing> ring;
    std::unique_ptr<support::jack::Client> client;
    jack_port_t* port = nullptr;

    // False when libjack may still call into this input (see support::jack).
    bool close() { return client->close(); }

    // On JACK's process thread: no lock, no allocation.
    static int process(jack_nframes_t frames, void* self) {
        auto& in = *static_cast<Impl*>(self);
        const support::jack::Client::Cycle cycle(*in.client);
        if (!cycle) return 0;
        void* buffer = jack_port_get_buffer(in.port, frames);
        const std::uint32_t count = jack_midi_get_event_count(buffer);
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0) continue;
            if (const auto triple = control_change({event.buffer, event.size}))
                (void)in.ring->try_push(*triple);
        }
        return 0;
    }
};

namespace {

// The first MIDI output port of another client, empty when there is none. The engine's own
// output is skipped: the patterns' control changes would come back in as mapped input.
std::string first_source(jack_client_t* client) {
    std::string first;
    if (const char** ports =
            jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput)) {
        for (const char** p = ports; *p && first.empty(); ++p)
            if (!std::string_view(*p).starts_with("vorla-engine:")) first = *p;
        jack_free(ports);
    }
    return first;
}

}  // namespace

std::optional<MidiInput> try_connect_midi_input(std::shared_ptr<CcRing> ring) {
    auto client = support::jack::Client::open(kClientName);
    if (!client) {
        info(client.error().text + " (running without MIDI input)");
        return std::nullopt;
    }
    auto impl = std::make_unique<MidiInput::Impl>();
    impl->ring = std::move(ring);
    impl->client = std::move(*client);
    jack_client_t* jc = impl->client->get();
    const auto fail = [&](const std::string& text) {
        info(text);
        release(impl);
        return std::nullopt;
    };
    const std::string source = first_source(jc);
    if (source.empty()) return fail("no ports available");
    impl->port = jack_port_register(jc, kPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!impl->port)
        return fail("connect failed: JACK refused the port '" + std::string(kPortName) + "'");
    jack_set_process_callback(jc, &MidiInput::Impl::process, impl.get());
    if (jack_activate(jc) != 0) return fail("connect failed: JACK did not activate the client");
    // A server that refuses or ignores the connection leaves the port for the user to connect.
    if (auto missing = impl->client->connect(source, jack_port_name(impl->port)))
        support::log::warn(log_target, "  midi input: " + *missing);
    else
        info("connected to '" + source + "'");
    return MidiInput(std::move(impl));
}

#else

struct MidiInput::Impl {
    std::shared_ptr<CcRing> ring;
    std::unique_ptr<RtMidiIn> in;

    bool close() {
        in.reset();  // first: its callback writes into the ring
        return true;
    }
};

namespace {

// On the MIDI library's thread: no lock, no allocation.
void on_midi(double, std::vector<unsigned char>* message, void* user) {
    const auto triple = control_change(*message);
    if (triple) (void)static_cast<CcRing*>(user)->try_push(*triple);
}

}  // namespace

std::optional<MidiInput> try_connect_midi_input(std::shared_ptr<CcRing> ring) {
#if defined(__linux__)
    // The ALSA default throws without a sequencer and never falls back to JACK.
    constexpr auto api = RtMidi::UNIX_JACK;
#else
    constexpr auto api = RtMidi::UNSPECIFIED;
#endif
    auto impl = std::make_unique<MidiInput::Impl>();
    impl->ring = std::move(ring);
    try {
        impl->in = std::make_unique<RtMidiIn>(api, kClientName);
    } catch (const RtMidiError& e) {
        info(e.getMessage() + " (running without MIDI input)");
        return std::nullopt;
    }
    // On JACK the engine's own MIDI output is a port like any other: taking it would feed the
    // patterns' control changes back in as mapped input.
    const unsigned count = impl->in->getPortCount();
    unsigned port = 0;
    std::string name;
    for (; port < count; ++port) {
        try {
            name = impl->in->getPortName(port);
        } catch (const RtMidiError&) {
            name.clear();
        }
        if (!name.starts_with("vorla-engine:")) break;
    }
    if (port == count) {
        info("no ports available");
        return std::nullopt;
    }
    try {
        impl->in->setCallback(on_midi, impl->ring.get());
        impl->in->openPort(port, kPortName);
    } catch (const RtMidiError& e) {
        info("connect failed: " + e.getMessage());
        return std::nullopt;
    }
    info("connected to '" + name + "'");
    return MidiInput(std::move(impl));
}

#endif

namespace {

// An input that libjack may still call into is kept rather than freed.
void release(std::unique_ptr<MidiInput::Impl>& impl) {
    if (impl && !impl->close()) (void)impl.release();
    impl.reset();
}

}  // namespace

MidiInput::MidiInput(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MidiInput::MidiInput(MidiInput&&) noexcept = default;

MidiInput& MidiInput::operator=(MidiInput&& other) noexcept {
    if (this != &other) {
        release(impl_);
        impl_ = std::move(other.impl_);
    }
    return *this;
}

MidiInput::~MidiInput() {
    release(impl_);
}

}  // namespace vorla_engine
