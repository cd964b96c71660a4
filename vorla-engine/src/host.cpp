// Configuration, the audio callback and MIDI input.

#include <RtMidi.h>

#include <cstdlib>

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

std::optional<CcTriple> control_change(std::span<const std::uint8_t> message) {
    if (message.size() < 3 || (message[0] & 0xF0) != 0xB0) return std::nullopt;
    return CcTriple{static_cast<std::uint8_t>(message[0] & 0x0F), message[1], message[2]};
}

struct MidiInput::Impl {
    std::shared_ptr<CcRing> ring;
    std::unique_ptr<RtMidiIn> in;  // closed first: its callback writes into the ring
};

MidiInput::MidiInput(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MidiInput::MidiInput(MidiInput&&) noexcept = default;
MidiInput& MidiInput::operator=(MidiInput&&) noexcept = default;
MidiInput::~MidiInput() = default;

namespace {

// On the MIDI library's thread: no lock, no allocation.
void on_midi(double, std::vector<unsigned char>* message, void* user) {
    const auto triple = control_change(*message);
    if (triple) (void)static_cast<CcRing*>(user)->try_push(*triple);
}

void info(const std::string& text) { support::log::info(log_target, "  midi input: " + text); }

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
        impl->in = std::make_unique<RtMidiIn>(api, "vorla-engine-in");
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
        impl->in->openPort(port, "zorva-cc");
    } catch (const RtMidiError& e) {
        info("connect failed: " + e.getMessage());
        return std::nullopt;
    }
    info("connected to '" + name + "'");
    return MidiInput(std::move(impl));
}

}  // namespace vorla_engine
