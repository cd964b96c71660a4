// Internal to the audio device backend: what its two paths share, and the JACK path's entry
// points. On Linux a JACK server that answers is used through libjack directly
// (jack_backend.cpp); every other host API, and every other platform, goes through RtAudio
// (cpal_backend.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "audio_engine/output/cpal_backend.hpp"

namespace audio_engine::output::cpal_backend::detail {

inline constexpr std::string_view kTarget = "audio_engine::output::cpal_backend";
inline constexpr std::string_view kOutputError = "audio stream error: ";
inline constexpr std::string_view kInputError = "audio input stream error: ";
inline constexpr std::string_view kDeviceGone =
    "The requested device is no longer available. For example, it has been unplugged.";
// Client names on a JACK server; the ports are "<name>:outport N" and "<name>:inport N".
inline constexpr const char* kOutputName = "vorla-engine-audio";
inline constexpr const char* kInputName = "vorla-engine-capture";

// The steps `start` and `start_input` log or check the same way on both paths.
void log_device_default(std::uint32_t sample_rate, std::size_t channels);
// Fails when the channel count or block does not fit the libraries' types; else logs the
// request.
Result check_request(const engine::EngineConfig& config);
void log_input(std::size_t channels, std::uint32_t sample_rate, std::size_t channel);

// A running stream of either path; dropping it stops and closes it.
struct Stream {
    virtual ~Stream() = default;
    // Connections to the device's ports that the server did not make, for the user to make.
    std::string unconnected;
};
using Opened = std::expected<std::unique_ptr<Stream>, std::string>;

#if defined(__linux__)
#define VORLA_AUDIO_JACK 1
// Each is none when no JACK server answers: the caller then tries the other host APIs.
std::optional<std::expected<DeviceDefaults, std::string>> jack_query();
// Takes `render` once the request passes its checks; before that a failure leaves it to the
// caller (CpalBackend::start drops it as it returns), and none leaves it for the other APIs.
std::optional<Opened> jack_start(const engine::EngineConfig& config, RenderFn& render);
std::optional<Opened> jack_start_input(std::uint32_t sample_rate, std::size_t channel,
                                       std::shared_ptr<CaptureRing>& ring);
#endif

}  // namespace audio_engine::output::cpal_backend::detail
