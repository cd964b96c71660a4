#include "audio_engine/output/cpal_backend.hpp"

// Every call into the audio library lives in this file, RtAudio 5 or 6 (namespace rt below
// holds what differs). A JACK server on Linux is the other file's (jack_backend.cpp).
#include <RtAudio.h>
#include <fmt/format.h>
#include <unistd.h>

#if defined(__LINUX_ALSA__) && __has_include(<alsa/asoundlib.h>)
#include <alsa/asoundlib.h>
#define VORLA_QUIET_ALSA 1
#endif

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <numeric>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "audio_engine/output/period_adapter.hpp"
#include "backend.hpp"
#include "support/log.hpp"

namespace audio_engine::output::cpal_backend {

using namespace detail;

void detail::log_device_default(std::uint32_t sample_rate, std::size_t channels) {
    support::log::info(kTarget,
                       fmt::format("device default: {}Hz, {} ch, Unknown", sample_rate, channels));
}

Result detail::check_request(const engine::EngineConfig& config) {
    if (config.channels > std::numeric_limits<std::uint16_t>::max() ||
        config.max_block > std::numeric_limits<std::uint32_t>::max())
        return std::unexpected(std::string("out of range integral type conversion attempted"));
    support::log::info(kTarget, fmt::format("requesting: {}Hz, {} ch, block={}", config.sample_rate,
                                            config.channels, config.max_block));
    return {};
}

void detail::log_input(std::size_t channels, std::uint32_t sample_rate, std::size_t channel) {
    support::log::info(kTarget, fmt::format("input device: {} ch, {}Hz, capturing ch {}", channels,
                                            sample_rate, channel));
}

namespace {

static_assert(std::numeric_limits<unsigned int>::digits >= 32);

constexpr unsigned int kInputFrames = 512;

// One write per line, so the lines of two failing streams never interleave; the inline
// buffer keeps ordinary texts off the heap.
void write_error_line(std::string_view prefix, std::string_view text) {
    fmt::memory_buffer line;
    fmt::format_to(std::back_inserter(line), "{}{}\n", prefix, text);
    support::log::write_stderr_line(std::string_view(line.data(), line.size()));
}

// Errors the library reports while the main thread is inside one of its calls belong to that
// call's result; elsewhere they are stream errors.
struct Report {
    bool failed = false;
    std::string text;
};
thread_local Report* t_report = nullptr;
// Set by a stream's data callback: errors on its thread are that stream's. A lost PulseAudio
// server shows there as endless read or write "warnings", so any of them fails the stream.
thread_local std::atomic<bool>* t_failed = nullptr;

void fail(const std::string& text) {
    if (t_report && !t_report->failed) *t_report = {true, text};
}

// What a running stream reports, once each: RtAudio 5's error callback carries no user data, so
// there is one per direction (the backend holds one stream of each).
struct StreamReports {
    std::string_view prefix;
    std::atomic<bool> warned{false}, failed{false};
};
StreamReports g_output{kOutputError}, g_input{kInputError};

// The library's messages. Inside one of our calls its errors fail that call and its warnings
// are logged. On a stream's own thread the first message of either kind is the stream's error
// line, and the stream stops: a lost PulseAudio server shows there as endless read or write
// "warnings". Elsewhere an error is the stream's line and a warning is logged, once each.
template <StreamReports& R>
void on_error(bool warning, const std::string& text) {
    if (t_report) {
        if (warning)
            support::log::warn(kTarget, text);
        else
            fail(text);
    } else if (t_failed) {
        if (!t_failed->exchange(true)) write_error_line(R.prefix, text);
    } else if (warning) {
        if (!R.warned.exchange(true)) support::log::warn(kTarget, text);
    } else if (!R.failed.exchange(true)) {
        write_error_line(R.prefix, text);
    }
}

// The one place that knows the library's version. RtAudio 5 (no version numbers in its
// header) throws its errors, names devices by index and sends a stream's messages to the
// callback given when it is opened; RtAudio 6 returns error codes, names devices by id and
// sends every message to its instance's callback.
namespace rt {
#if defined(RTAUDIO_VERSION_MAJOR) && RTAUDIO_VERSION_MAJOR >= 6
StreamReports g_none{{}};  // the calls before a stream is opened
template <StreamReports& R>
void forward(RtAudioErrorType type, const std::string& text) {
    on_error<R>(type == RTAUDIO_WARNING, text);
}
void check(RtAudio& audio, RtAudioErrorType code) {
    if (code != RTAUDIO_NO_ERROR && code != RTAUDIO_WARNING) fail(audio.getErrorText());
}

std::unique_ptr<RtAudio> make(RtAudio::Api api) {
    auto audio = std::make_unique<RtAudio>(api, RtAudioErrorCallback(forward<g_none>));
    audio->showWarnings(false);  // probing hosts that are not there: the caller reports it
    return audio;
}
std::vector<unsigned int> device_ids(RtAudio& audio) {
    return audio.getDeviceIds();
}
bool probed(const RtAudio::DeviceInfo&) {
    return true;
}
template <StreamReports& R>
void open(RtAudio& audio, RtAudio::StreamParameters* out, RtAudio::StreamParameters* in,
          std::uint32_t sample_rate, unsigned int* frames, RtAudioCallback callback, void* self,
          RtAudio::StreamOptions* options) {
    audio.setErrorCallback(forward<R>);
    check(audio,
          audio.openStream(out, in, RTAUDIO_FLOAT32, sample_rate, frames, callback, self, options));
    audio.showWarnings(true);  // as RtAudio 5 does once a stream is open
}
void start(RtAudio& audio) {
    check(audio, audio.startStream());
}
#else
template <StreamReports& R>
void forward(RtAudioError::Type type, const std::string& text) {
    on_error<R>(type == RtAudioError::WARNING, text);
}

std::unique_ptr<RtAudio> make(RtAudio::Api api) {
    auto audio = std::make_unique<RtAudio>(api);
    audio->showWarnings(false);  // with no stream open they would go to stderr
    return audio;
}
std::vector<unsigned int> device_ids(RtAudio& audio) {
    std::vector<unsigned int> ids(audio.getDeviceCount());
    std::iota(ids.begin(), ids.end(), 0u);
    return ids;
}
bool probed(const RtAudio::DeviceInfo& info) {
    return info.probed;
}
template <StreamReports& R>
void open(RtAudio& audio, RtAudio::StreamParameters* out, RtAudio::StreamParameters* in,
          std::uint32_t sample_rate, unsigned int* frames, RtAudioCallback callback, void* self,
          RtAudio::StreamOptions* options) {
    audio.openStream(out, in, RTAUDIO_FLOAT32, sample_rate, frames, callback, self, options,
                     forward<R>);
}
void start(RtAudio& audio) {
    audio.startStream();
}
#endif
}  // namespace rt

// Runs one library call, turning both of its ways of failing into a text.
template <class F>
auto call(F&& f) -> std::expected<std::invoke_result_t<F>, std::string> {
    using T = std::invoke_result_t<F>;
    Report r;
    t_report = &r;
    struct Reset {
        ~Reset() { t_report = nullptr; }
    } reset;
    try {
        if constexpr (std::is_void_v<T>) {
            f();
            if (!r.failed) return {};
        } else {
            T value = f();
            if (!r.failed) return value;
        }
    } catch (const std::exception& e) {
        return std::unexpected(std::string(e.what()));
    }
    return std::unexpected(std::move(r.text));
}

#if defined(VORLA_QUIET_ALSA)
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
#endif

// Probing hosts that are not there makes libasound print; keep stderr for our lines.
void silence_libraries() {
    static std::once_flag once;
    std::call_once(once, [] {
#if defined(VORLA_QUIET_ALSA)
        snd_lib_error_set_handler(quiet_alsa);
#endif
    });
}

struct Host {
    std::unique_ptr<RtAudio> audio;
    std::vector<unsigned int> devices;
};

// The first host API with a device: JACK (a server answers), then PulseAudio, then ALSA, then
// whatever else is compiled in. Where the JACK path of our own exists, it has been tried first.
std::optional<Host> default_host() {
    silence_libraries();
    std::vector<RtAudio::Api> compiled;
    RtAudio::getCompiledApi(compiled);
#if defined(VORLA_AUDIO_JACK)
    std::erase(compiled, RtAudio::UNIX_JACK);
#endif
    std::vector<RtAudio::Api> order;
    for (RtAudio::Api api : {RtAudio::UNIX_JACK, RtAudio::LINUX_PULSE, RtAudio::LINUX_ALSA})
        if (std::find(compiled.begin(), compiled.end(), api) != compiled.end())
            order.push_back(api);
    for (RtAudio::Api api : compiled)
        if (std::find(order.begin(), order.end(), api) == order.end()) order.push_back(api);
    for (RtAudio::Api api : order) {
        auto host = call([api] { return rt::make(api); });
        if (!host) continue;
        auto ids = call([&] { return rt::device_ids(**host); });
        if (ids && !ids->empty()) return Host{std::move(*host), std::move(*ids)};
    }
    return std::nullopt;
}

enum class Direction { Output, Input };

struct Device {
    std::unique_ptr<RtAudio> host;
    unsigned int id = 0;
    // The device's default configuration, or why it could not be read.
    std::expected<RtAudio::DeviceInfo, std::string> info;
};

// The default host's default device of one direction; none when there is no such device.
std::optional<Device> default_device(Direction dir) {
    auto found = default_host();
    if (!found) return std::nullopt;
    RtAudio& host = *found->audio;
    auto id = call([&] {
        return dir == Direction::Output ? host.getDefaultOutputDevice()
                                        : host.getDefaultInputDevice();
    });
    if (!id || std::find(found->devices.begin(), found->devices.end(), *id) == found->devices.end())
        return std::nullopt;
    auto info = call([&] { return host.getDeviceInfo(*id); });
    if (info && !rt::probed(*info))
        info = std::unexpected(std::string("the default audio device could not be probed"));
    if (info && (dir == Direction::Output ? info->outputChannels : info->inputChannels) == 0)
        return std::nullopt;
    return Device{std::move(found->audio), *id, std::move(info)};
}

}  // namespace

// A stream of either path.
struct CpalBackend::Stream {
    std::unique_ptr<detail::Stream> stream;
};

namespace {

// Heap-held, so the callbacks can keep its address; closes its stream before its render
// function or ring goes.
struct RtStream final : detail::Stream {
    std::unique_ptr<RtAudio> host;
    std::size_t channels = 0;
    std::optional<PeriodAdapter> output;  // output streams: the render function
    std::shared_ptr<CaptureRing> ring;  // input streams: the producer side
    std::size_t channel = 0;
    // After its first error the stream is aborted (a return value of 2), not left spinning.
    std::atomic<bool> failed = false;
    static constexpr int kAbort = 2;

    ~RtStream() override {
        if (!host) return;
        if (host->isStreamOpen()) (void)call([&] { host->closeStream(); });
        (void)call([&] { host.reset(); });
    }

    // The output data callback: the library may deliver other lengths than the block asked for,
    // so the adapter serves them from whole blocks.
    static int render_forwarder(void* out, void*, unsigned int frames, double, RtAudioStreamStatus,
                                void* self) {
        auto* s = static_cast<RtStream*>(self);
        t_failed = &s->failed;
        if (s->failed) return kAbort;
        if (out) s->output->fill(std::span<float>(static_cast<float*>(out), frames * s->channels));
        return 0;
    }

    static int capture_callback(void*, void* in, unsigned int frames, double, RtAudioStreamStatus,
                                void* self) {
        auto* s = static_cast<RtStream*>(self);
        t_failed = &s->failed;
        if (s->failed) return kAbort;
        if (in)
            capture_frames({static_cast<const float*>(in), frames * s->channels}, s->channels,
                           s->channel, *s->ring);
        return 0;
    }

    template <StreamReports& R>
    Result open(unsigned int id, RtAudio::StreamParameters* out, RtAudio::StreamParameters* in,
                std::uint32_t sample_rate, unsigned int frames, RtAudioCallback callback,
                const char* name) {
        (out ? out : in)->deviceId = id;
        RtAudio::StreamOptions options;
        options.streamName = name;
        R.warned = R.failed = false;
        auto opened = call(
            [&] { rt::open<R>(*host, out, in, sample_rate, &frames, callback, this, &options); });
        if (!opened) return opened;
        return call([&] { rt::start(*host); });
    }
};

}  // namespace

std::size_t capture_frames(std::span<const float> buffer, std::size_t channels, std::size_t channel,
                           CaptureRing& ring) {
    if (channels == 0 || channel >= channels) return 0;
    std::size_t pushed = 0;
    for (std::size_t i = channel; i < buffer.size(); i += channels)
        pushed += ring.try_push(buffer[i]) ? 1 : 0;
    return pushed;
}

std::expected<DeviceDefaults, std::string> query_device() {
#if defined(VORLA_AUDIO_JACK)
    if (auto jack = jack_query()) return *jack;
#endif
    auto device = default_device(Direction::Output);
    if (!device) return std::unexpected(std::string("no output device available"));
    if (!device->info) return std::unexpected(device->info.error());
    return DeviceDefaults{device->info->outputChannels, device->info->preferredSampleRate};
}

CpalBackend::CpalBackend() = default;
CpalBackend::CpalBackend(CpalBackend&&) noexcept = default;
CpalBackend& CpalBackend::operator=(CpalBackend&&) noexcept = default;

CpalBackend::~CpalBackend() {
    output_.reset();
    input_.reset();
}

namespace {

Opened rt_start(const engine::EngineConfig& config, RenderFn& render) {
    auto stream = std::make_unique<RtStream>();

    auto device = default_device(Direction::Output);
    if (!device) return std::unexpected(std::string("no output device available"));
    if (device->info)
        log_device_default(device->info->preferredSampleRate, device->info->outputChannels);
    if (auto r = check_request(config); !r) return std::unexpected(r.error());

    stream->host = std::move(device->host);
    stream->channels = config.channels;
    stream->output.emplace(std::move(render), config.max_block, config.channels);
    RtAudio::StreamParameters out;
    out.nChannels = static_cast<unsigned int>(config.channels);
    if (auto r = stream->open<g_output>(device->id, &out, nullptr, config.sample_rate,
                                        static_cast<unsigned int>(config.max_block),
                                        RtStream::render_forwarder, kOutputName);
        !r)
        return std::unexpected(r.error());
    return stream;
}

Opened rt_start_input(std::uint32_t sample_rate, std::size_t channel,
                      std::shared_ptr<CaptureRing>& ring) {
    auto device = default_device(Direction::Input);
    if (!device) return std::unexpected(std::string("no input device available"));
    if (!device->info) return std::unexpected(device->info.error());
    const std::size_t channels = device->info->inputChannels;
    if (channel >= channels)
        return std::unexpected(
            fmt::format("channel {} out of range (device has {} channels)", channel, channels));

    auto stream = std::make_unique<RtStream>();
    stream->ring = std::make_shared<CaptureRing>(sample_rate / 5);
    stream->channels = channels;
    stream->channel = channel;
    log_input(channels, sample_rate, channel);

    stream->host = std::move(device->host);
    RtAudio::StreamParameters in;
    in.nChannels = static_cast<unsigned int>(channels);
    // RtAudio has no default buffer size to ask for, and its PulseAudio path reads nothing
    // (spinning on "Invalid argument") when given 0 frames: ask for 10 ms or so.
    if (auto r = stream->open<g_input>(device->id, nullptr, &in, sample_rate, kInputFrames,
                                       RtStream::capture_callback, kInputName);
        !r)
        return std::unexpected(r.error());
    ring = stream->ring;
    return stream;
}

}  // namespace

Result CpalBackend::start(const engine::EngineConfig& config, RenderFn render) {
    std::optional<Opened> opened;
#if defined(VORLA_AUDIO_JACK)
    opened = jack_start(config, render);
#endif
    if (!opened) opened = rt_start(config, render);
    if (!*opened) return std::unexpected(std::move(opened->error()));
    output_ = std::make_unique<Stream>(std::move(**opened));
    return {};
}

void CpalBackend::stop() {
    output_.reset();
}

std::expected<std::shared_ptr<CaptureRing>, std::string> CpalBackend::start_input(
    std::uint32_t sample_rate, std::size_t channel) {
    std::shared_ptr<CaptureRing> ring;
    std::optional<Opened> opened;
#if defined(VORLA_AUDIO_JACK)
    opened = jack_start_input(sample_rate, channel, ring);
#endif
    if (!opened) opened = rt_start_input(sample_rate, channel, ring);
    if (!*opened) return std::unexpected(std::move(opened->error()));
    input_ = std::make_unique<Stream>(std::move(**opened));
    return ring;
}

std::string CpalBackend::unconnected_input() const {
    return input_ ? input_->stream->unconnected : std::string();
}

}  // namespace audio_engine::output::cpal_backend
