#include "jack_rig/player.hpp"

#include <jack/jack.h>

#include <algorithm>

namespace jack_rig {

struct AudioPlayer::State {
    jack_client_t* client = nullptr;
    std::vector<std::vector<float>> signals;
    std::vector<jack_port_t*> ports;
    std::vector<std::size_t> positions;  // realtime side only

    ~State() {
        if (client) {
            jack_deactivate(client);
            jack_client_close(client);
        }
    }

    int process(jack_nframes_t nframes) {
        for (std::size_t p = 0; p < ports.size(); ++p) {
            auto* out = static_cast<float*>(jack_port_get_buffer(ports[p], nframes));
            const std::vector<float>& signal = signals[p];
            std::size_t& at = positions[p];
            for (jack_nframes_t i = 0; i < nframes; ++i) {
                out[i] = signal[at];
                at = at + 1 == signal.size() ? 0 : at + 1;
            }
        }
        return 0;
    }
};

AudioPlayer::AudioPlayer(JackLock lock, std::unique_ptr<State> state)
    : lock_(std::move(lock)), state_(std::move(state)) {}

AudioPlayer::~AudioPlayer() = default;

std::expected<std::unique_ptr<AudioPlayer>, Error> AudioPlayer::open(
    std::string_view client_name, std::vector<std::vector<float>> signals) {
    if (std::any_of(signals.begin(), signals.end(), [](const auto& s) { return s.empty(); }))
        return std::unexpected(Error{"every signal needs at least one sample"});
    silence_jack_messages();
    auto lock = JackLock::acquire();
    if (!lock) return std::unexpected(lock.error());
    auto state = std::make_unique<State>();
    const std::string name(client_name);
    state->client = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (!state->client) return std::unexpected(Error{"cannot open JACK client '" + name + "'"});
    state->signals = std::move(signals);
    state->positions.assign(state->signals.size(), 0);
    for (std::size_t i = 0; i < state->signals.size(); ++i) {
        const std::string port = "out_" + std::to_string(i + 1);
        jack_port_t* p = jack_port_register(state->client, port.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                            JackPortIsOutput, 0);
        if (!p) return std::unexpected(Error{"cannot register port '" + port + "'"});
        state->ports.push_back(p);
    }
    auto process = [](jack_nframes_t nframes, void* arg) {
        return static_cast<State*>(arg)->process(nframes);
    };
    if (jack_set_process_callback(state->client, process, state.get()) != 0 ||
        jack_activate(state->client) != 0)
        return std::unexpected(Error{"cannot activate JACK client '" + name + "'"});
    return std::unique_ptr<AudioPlayer>(new AudioPlayer(std::move(*lock), std::move(state)));
}

std::string AudioPlayer::port(std::size_t i) const {
    return i < state_->ports.size() ? jack_port_name(state_->ports[i]) : std::string{};
}

}  // namespace jack_rig
