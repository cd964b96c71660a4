// The backend's JACK path: a client of our own per stream, on libjack directly, so that a server
// that goes away costs one error line and nothing else (see support::jack).
#include "backend.hpp"

#if defined(VORLA_AUDIO_JACK)

#include <fmt/format.h>
#include <jack/jack.h>

#include <cerrno>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "audio_engine/output/period_adapter.hpp"
#include "support/jack.hpp"
#include "support/log.hpp"

namespace audio_engine::output::cpal_backend::detail {

namespace {

using support::jack::Client;

std::string lost_line(std::string_view prefix) {
    return std::string(prefix) + std::string(kDeviceGone) + "\n";
}

// The server's physical ports that we play to (JackPortIsInput) or capture from.
std::vector<std::string> physical_ports(jack_client_t* client, unsigned long direction) {
    std::vector<std::string> out;
    if (const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                            JackPortIsPhysical | direction)) {
        for (const char** p = ports; *p; ++p)
            out.emplace_back(*p);
        jack_free(ports);
    }
    return out;
}

// None when no server answers (the caller turns to the other host APIs); a server that refuses
// us, or one this process lost, is the user's JACK: its words are the result.
template <class T>
std::optional<std::expected<T, std::string>> refusal(const support::jack::OpenError& error) {
    if (error.kind == support::jack::OpenError::Kind::NoServer) return std::nullopt;
    return std::expected<T, std::string>(std::unexpect, error.text);
}

std::string rate_mismatch(std::uint32_t requested, std::uint32_t server) {
    return fmt::format(
        "the requested sample rate ({}) is different than the JACK server rate ({})", requested,
        server);
}

// What the process callbacks use; heap-held so that its address stays put, and leaked rather
// than freed when the client could not be closed safely.
struct State {
    std::unique_ptr<Client> client;
    std::vector<jack_port_t*> ports;
    // Output: the render function, whose whole blocks serve the server's periods; each period
    // is spread over the ports' buffers.
    std::optional<PeriodAdapter> output;
    std::vector<float*> buffers;
    // Input: the producer side of the capture ring.
    std::shared_ptr<CaptureRing> ring;

    static int play(jack_nframes_t frames, void* self) {
        auto& s = *static_cast<State*>(self);
        const Client::Cycle cycle(*s.client);
        const std::size_t channels = s.ports.size();
        if (!cycle || channels == 0) return 0;
        for (std::size_t c = 0; c < channels; ++c)
            s.buffers[c] = static_cast<float*>(jack_port_get_buffer(s.ports[c], frames));
        s.output->pull(frames, [&](std::span<const float> run, std::size_t at) {
            for (std::size_t i = 0; i < run.size() / channels; ++i)
                for (std::size_t c = 0; c < channels; ++c)
                    s.buffers[c][at + i] = run[i * channels + c];
        });
        return 0;
    }

    static int capture(jack_nframes_t frames, void* self) {
        auto& s = *static_cast<State*>(self);
        const Client::Cycle cycle(*s.client);
        if (!cycle) return 0;
        const auto* in = static_cast<const float*>(jack_port_get_buffer(s.ports[0], frames));
        capture_frames({in, frames}, 1, 0, *s.ring);
        return 0;
    }
};

class JackStream final : public Stream {
public:
    explicit JackStream(std::unique_ptr<Client> client) : state_(std::make_unique<State>()) {
        state_->client = std::move(client);
    }
    ~JackStream() override {
        if (!state_->client->close()) (void)state_.release();  // libjack may still call into it
    }
    State& state() { return *state_; }
    jack_client_t* client() { return state_->client->get(); }

    jack_port_t* add_port(const std::string& name, unsigned long flags) {
        jack_port_t* port =
            jack_port_register(client(), name.c_str(), JACK_DEFAULT_AUDIO_TYPE, flags, 0);
        if (port) state_->ports.push_back(port);
        return port;
    }

    // Activates the client and connects each pair (source, destination). A connection the
    // server refuses or ignores leaves the stream running unconnected, for the user to connect:
    // it is logged and kept in `unconnected`.
    Result play(JackProcessCallback callback,
                const std::vector<std::pair<std::string, std::string>>& connections) {
        jack_set_process_callback(client(), callback, state_.get());
        if (jack_activate(client()) != 0)
            return std::unexpected(std::string("JACK did not activate the client"));
        for (const auto& [from, to] : connections) {
            auto missing = state_->client->connect(from, to);
            if (!missing) continue;
            support::log::warn(kTarget, *missing);
            if (!unconnected.empty()) unconnected += "; ";
            unconnected += *missing;
        }
        return {};
    }

private:
    std::unique_ptr<State> state_;
};

}  // namespace

std::optional<std::expected<DeviceDefaults, std::string>> jack_query() {
    auto probe = Client::open("vorla-engine-probe");
    if (!probe) return refusal<DeviceDefaults>(probe.error());
    const std::size_t channels = physical_ports((*probe)->get(), JackPortIsInput).size();
    if (channels == 0) return std::unexpected(std::string("no output device available"));
    return DeviceDefaults{channels, jack_get_sample_rate((*probe)->get())};
}

std::optional<Opened> jack_start(const engine::EngineConfig& config, RenderFn& render) {
    auto client = Client::open(kOutputName, lost_line(kOutputError));
    if (!client) return refusal<std::unique_ptr<Stream>>(client.error());
    auto stream = std::make_unique<JackStream>(std::move(*client));
    State& s = stream->state();

    const auto physical = physical_ports(stream->client(), JackPortIsInput);
    if (physical.empty()) return std::unexpected(std::string("no output device available"));
    const std::uint32_t rate = jack_get_sample_rate(stream->client());
    log_device_default(rate, physical.size());
    if (auto r = check_request(config); !r) return std::unexpected(r.error());

    if (config.sample_rate != rate) return std::unexpected(rate_mismatch(config.sample_rate, rate));
    if (config.channels > physical.size())
        return std::unexpected(fmt::format("the requested {} channels exceed the device's {}",
                                           config.channels, physical.size()));
    std::vector<std::pair<std::string, std::string>> connections;
    for (std::size_t c = 0; c < config.channels; ++c) {
        jack_port_t* port = stream->add_port(fmt::format("outport {}", c), JackPortIsOutput);
        if (!port) return std::unexpected(fmt::format("JACK refused the port 'outport {}'", c));
        connections.emplace_back(jack_port_name(port), physical[c]);
    }
    s.buffers.resize(config.channels);
    s.output.emplace(std::move(render), config.max_block, config.channels);
    if (auto r = stream->play(State::play, connections); !r) return std::unexpected(r.error());
    return std::unique_ptr<Stream>(std::move(stream));
}

std::optional<Opened> jack_start_input(std::uint32_t sample_rate, std::size_t channel,
                                       std::shared_ptr<CaptureRing>& ring) {
    auto client = Client::open(kInputName, lost_line(kInputError));
    if (!client) return refusal<std::unique_ptr<Stream>>(client.error());
    auto stream = std::make_unique<JackStream>(std::move(*client));
    const auto physical = physical_ports(stream->client(), JackPortIsOutput);
    if (physical.empty()) return std::unexpected(std::string("no input device available"));
    if (channel >= physical.size())
        return std::unexpected(fmt::format("channel {} out of range (device has {} channels)",
                                           channel, physical.size()));
    State& s = stream->state();
    s.ring = std::make_shared<CaptureRing>(sample_rate / 5);
    log_input(physical.size(), sample_rate, channel);

    // Only the chosen channel is captured: one port, fed by that physical capture port.
    const std::uint32_t rate = jack_get_sample_rate(stream->client());
    if (sample_rate != rate) return std::unexpected(rate_mismatch(sample_rate, rate));
    jack_port_t* port = stream->add_port(fmt::format("inport {}", channel), JackPortIsInput);
    if (!port) return std::unexpected(fmt::format("JACK refused the port 'inport {}'", channel));
    if (auto r = stream->play(State::capture, {{physical[channel], jack_port_name(port)}}); !r)
        return std::unexpected(r.error());
    ring = s.ring;
    return std::unique_ptr<Stream>(std::move(stream));
}

}  // namespace audio_engine::output::cpal_backend::detail

#endif
