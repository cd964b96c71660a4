// audio_engine::output::cpal_backend — the audio device backend.
//
// Plays the host's render function on the default output device and captures one channel of
// the default input device into a lock-free ring that the audio input node (nodes::adc) drains
// on the audio thread. It only moves samples; it never touches the graph.
//
// Host API: on Linux JACK when a server answers, else PulseAudio, else ALSA (RtAudio 5 or 6).
// RtAudio's warnings are logged at warn level, once per running stream; its other messages are
// the failures reported below, and none reaches stderr otherwise.
//
// Output is requested with a buffer of `max_block` frames, which a device may override (JACK
// plays at its server's period, which may change while playing): the render function still
// always gets one whole block of `max_block` frames, and a PeriodAdapter serves the device's
// periods from it (latency added only where a period is not a multiple of it).
// JACK is used through libjack directly, one client per stream: the output's ports
// ("vorla-engine-audio:outport N") feed the first physical playback ports; a capture registers
// one port for the chosen channel ("vorla-engine-capture:inport N"), fed by that physical
// capture port. Every other host API goes through RtAudio.
//
// A JACK server that refuses or ignores our connection requests (its self-connect modes) leaves
// the stream running unconnected, for the user to connect: each missing connection is logged
// at warn level. A JACK server that answers but refuses our client, or one this process has
// lost, is reported in JACK's words: no other host API is tried then.
//
// Stream failures, loss of the device included, are written to stderr as
// "audio stream error: {}" (output) or "audio input stream error: {}" (input), once per stream,
// with one write(2) and no lock; a failed stream is not restarted (a JACK server that comes back
// gets nothing from us). Every other failure is returned as a text and printed nowhere.
//
// Threads: every operation runs on the host's main thread. The render forwarder and the capture
// loop run on the library's audio threads and never lock, allocate or log. Dropping the backend
// stops both streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "audio_engine/nodes/adc.hpp"
#include "audio_engine/output.hpp"

namespace audio_engine::output::cpal_backend {

using nodes::adc::CaptureRing;

struct DeviceDefaults {
    std::size_t channels;
    std::uint32_t sample_rate;
};

// Channel count and sample rate of the default output device; leaves nothing open (on JACK:
// the number of physical playback ports and the server's rate, from one short-lived client).
std::expected<DeviceDefaults, std::string> query_device();

// The capture loop over one input buffer of interleaved frames of `channels` samples (the last
// frame may be short): pushes each frame's sample at `channel`, where the frame has one; a full
// ring drops the sample. Returns how many samples were pushed.
std::size_t capture_frames(std::span<const float> buffer, std::size_t channels, std::size_t channel,
                           CaptureRing& ring);

class CpalBackend final : public AudioOutput {
public:
    CpalBackend();
    ~CpalBackend() override;
    CpalBackend(CpalBackend&&) noexcept;
    CpalBackend& operator=(CpalBackend&&) noexcept;

    Result start(const engine::EngineConfig& config, RenderFn render) override;
    void stop() override;

    // Captures `channel` of the default input device at `sample_rate` into a new ring of
    // sample_rate / 5 samples and returns it for the consumer; replaces an earlier capture,
    // whose ring then receives nothing more.
    std::expected<std::shared_ptr<CaptureRing>, std::string> start_input(std::uint32_t sample_rate,
                                                                         std::size_t channel);
    // Why the running capture's port is not connected to the device (a JACK server that
    // refuses or ignores its clients' connection requests); empty when it is, or none runs.
    std::string unconnected_input() const;

private:
    struct Stream;  // the library's objects, kept out of this header

    std::unique_ptr<Stream> output_;
    std::unique_ptr<Stream> input_;
};

}  // namespace audio_engine::output::cpal_backend
