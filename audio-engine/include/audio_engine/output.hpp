// audio_engine::output — the interface of an audio output backend.
//
// The host starts output with the engine configuration and a render function, and stops it on
// shutdown. The render function fills one block of `max_block` frames of interleaved 32-bit
// float samples (frame after frame, `channels` samples each), whatever length the device's
// buffers have (a PeriodAdapter serves them); it is called on the device's real-time thread, so
// it must not lock, allocate, log or wait. The backend owns the function from `start` on and
// drops it with the stream (or at once when `start` fails).
//
// Callers: the host's main thread only. Errors are display texts.
#pragma once

#include <expected>
#include <functional>
#include <span>
#include <string>

#include "audio_engine/engine.hpp"

namespace audio_engine::output {

using RenderFn = std::move_only_function<void(std::span<float>)>;
using Result = std::expected<void, std::string>;

class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    // Plays `render` on the default output device with `max_block`, `channels` and
    // `sample_rate` of `config`; replaces a stream started earlier.
    virtual Result start(const engine::EngineConfig& config, RenderFn render) = 0;
    // Stops and drops the output stream; nothing when none is playing.
    virtual void stop() = 0;
};

}  // namespace audio_engine::output
