// jack_rig::AudioPlayer — a JACK client that plays fixed signals into the graph, for tests of
// code that captures audio.
//
// Each signal loops on an audio output port of its own, "<client>:out_1", "out_2", ...;
// connect them with JackClient::connect. Opened on JACK_DEFAULT_SERVER (what JackServer::start
// sets) and holding the JackLock like JackClient. Every failure is a returned Error. Not
// movable (the realtime callback holds its address).
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jack_rig/jack_rig.hpp"

namespace jack_rig {

class AudioPlayer {
public:
    // Every signal needs at least one sample.
    static std::expected<std::unique_ptr<AudioPlayer>, Error> open(
        std::string_view client_name, std::vector<std::vector<float>> signals);
    ~AudioPlayer();
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    // The full name of the port that plays signals[i].
    std::string port(std::size_t i) const;

private:
    struct State;
    AudioPlayer(JackLock lock, std::unique_ptr<State> state);

    JackLock lock_;  // declared first: released after the client is closed
    std::unique_ptr<State> state_;
};

}  // namespace jack_rig
