#include "audio_engine/output/cpal_backend.hpp"

// Every call into the audio library lives in this file: its API differs between versions
// (errors are exceptions in RtAudio 5, codes in RtAudio 6).
#include <RtAudio.h>
#include <fmt/format.h>
#include <unistd.h>

#if defined(__UNIX_JACK__)
#include <jack/jack.h>
#endif
#if defined(__LINUX_ALSA__) && __has_include(<alsa/asoundlib.h>)
#include <alsa/asoundlib.h>
#define VORLA_QUIET_ALSA 1
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/log.hpp"

namespace audio_engine::output::cpal_backend {

namespace {

constexpr std::string_view kTarget = "audio_engine::output::cpal_backend";
constexpr std::string_view kOutputError = "audio stream error: ";
constexpr std::string_view kInputError = "audio input stream error: ";
constexpr std::string_view kDeviceGone =
    "The requested device is no longer available. For example, it has been unplugged.";
// Client names on a JACK server; the ports are "<name>:outport N" and "<name>:inport N".
constexpr const char* kOutputName = "vorla-engine-audio";
constexpr const char* kInputName = "vorla-engine-capture";

static_assert(std::numeric_limits<unsigned int>::digits >= 32);

// One write per line, so the lines of two failing streams never interleave; the inline
// buffer keeps ordinary texts off the heap.
void write_error_line(std::string_view prefix, std::string_view text) {
    fmt::memory_buffer line;
    fmt::format_to(std::back_inserter(line), "{}{}\n", prefix, text);
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Errors the library reports through the error callback while the main thread is inside one of
// its calls (a failed start) belong to that call's result; elsewhere they are stream errors.
struct Report {
    bool failed = false;
    std::string text;
};
thread_local Report* t_report = nullptr;

void report(std::string_view prefix, RtAudioError::Type type, const std::string& text) {
    if (t_report) {
        if (type != RtAudioError::WARNING && !t_report->failed) *t_report = {true, text};
        return;
    }
    if (type != RtAudioError::WARNING) write_error_line(prefix, text);
}
void on_output_error(RtAudioError::Type type, const std::string& text) {
    report(kOutputError, type, text);
}
void on_input_error(RtAudioError::Type type, const std::string& text) {
    report(kInputError, type, text);
}

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

#if defined(__UNIX_JACK__)
void quiet_jack(const char*) {}
#endif
#if defined(VORLA_QUIET_ALSA)
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
#endif

// Probing hosts that are not there makes libjack and libasound print; keep stderr for our lines.
void silence_libraries() {
    static std::once_flag once;
    std::call_once(once, [] {
#if defined(__UNIX_JACK__)
        jack_set_error_function(quiet_jack);
        jack_set_info_function(quiet_jack);
#endif
#if defined(VORLA_QUIET_ALSA)
        snd_lib_error_set_handler(quiet_alsa);
#endif
    });
}

struct Host {
    std::unique_ptr<RtAudio> audio;
    unsigned int devices = 0;
};

// The first host API with a device, JACK first (a server answers), then PulseAudio, then ALSA,
// then whatever else is compiled in.
std::optional<Host> default_host() {
    silence_libraries();
    std::vector<RtAudio::Api> compiled;
    RtAudio::getCompiledApi(compiled);
    std::vector<RtAudio::Api> order;
    for (RtAudio::Api api : {RtAudio::UNIX_JACK, RtAudio::LINUX_PULSE, RtAudio::LINUX_ALSA})
        if (std::find(compiled.begin(), compiled.end(), api) != compiled.end())
            order.push_back(api);
    for (RtAudio::Api api : compiled)
        if (std::find(order.begin(), order.end(), api) == order.end()) order.push_back(api);
    for (RtAudio::Api api : order) {
        auto host = call([api] { return std::make_unique<RtAudio>(api); });
        if (!host) continue;
        (*host)->showWarnings(false);
        auto count = call([&] { return (*host)->getDeviceCount(); });
        if (count && *count > 0) return Host{std::move(*host), *count};
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
    if (!id || *id >= found->devices) return std::nullopt;
    auto info = call([&] { return host.getDeviceInfo(*id); });
    if (info && !info->probed)
        info = std::unexpected(std::string("the default audio device could not be probed"));
    if (info && (dir == Direction::Output ? info->outputChannels : info->inputChannels) == 0)
        return std::nullopt;
    return Device{std::move(found->audio), *id, std::move(info)};
}

// The audio thread runs with denormals flushed to zero (the render path's filters and ramps
// decay into them).
void flush_denormals() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_setcsr(_mm_getcsr() | 0x8040);  // FTZ | DAZ
#elif defined(__aarch64__)
    std::uint64_t fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    __asm__ volatile("msr fpcr, %0" : : "r"(fpcr | (std::uint64_t{1} << 24)));
#endif
}

// When the JACK server goes away the library closes the stream without calling the error
// callback (it only prints to stderr), so a second client of our own watches for that.
class ServerWatch {
public:
    ServerWatch() = default;
    ServerWatch(const ServerWatch&) = delete;
    ServerWatch& operator=(const ServerWatch&) = delete;
    ~ServerWatch() {
#if defined(__UNIX_JACK__)
        if (client_) jack_client_close(client_);
#endif
    }

    void watch([[maybe_unused]] RtAudio& host, [[maybe_unused]] std::string_view prefix) {
#if defined(__UNIX_JACK__)
        if (host.getCurrentApi() != RtAudio::UNIX_JACK) return;
        prefix_ = prefix;
        client_ = jack_client_open("vorla-engine-watch", JackNoStartServer, nullptr);
        if (client_) jack_on_info_shutdown(client_, &ServerWatch::on_shutdown, this);
#endif
    }
    bool lost() const {
        return lost_.load(std::memory_order_acquire);
    }

private:
#if defined(__UNIX_JACK__)
    static void on_shutdown(jack_status_t, const char*, void* self) {
        auto* w = static_cast<ServerWatch*>(self);
        w->lost_.store(true, std::memory_order_release);
        write_error_line(w->prefix_, kDeviceGone);
    }
    jack_client_t* client_ = nullptr;
#endif
    std::string_view prefix_;
    std::atomic<bool> lost_{false};
};

}  // namespace

// Heap-held, so the callbacks can keep its address; closes its stream before its render
// function or ring goes.
struct CpalBackend::Stream {
    std::unique_ptr<RtAudio> host;
    std::size_t channels = 0;
    RenderFn render;                    // output streams
    std::shared_ptr<CaptureRing> ring;  // input streams: the producer side
    std::size_t channel = 0;
    ServerWatch watch;

    ~Stream() {
        if (!host) return;
        // After a server loss the library closes the stream from a thread of its own: let it
        // finish rather than close the same stream twice at once.
        if (watch.lost()) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (host->isStreamOpen() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (host->isStreamOpen()) (void)call([&] { host->closeStream(); });
        (void)call([&] { host.reset(); });
    }

    // The output data callback: the whole interleaved buffer, unchanged, to the render function.
    static int render_forwarder(void* out, void*, unsigned int frames, double, RtAudioStreamStatus,
                                void* self) {
        flush_denormals();
        auto* s = static_cast<Stream*>(self);
        if (out) s->render(std::span<float>(static_cast<float*>(out), frames * s->channels));
        return 0;
    }

    static int capture_callback(void*, void* in, unsigned int frames, double, RtAudioStreamStatus,
                                void* self) {
        auto* s = static_cast<Stream*>(self);
        if (in)
            capture_frames({static_cast<const float*>(in), frames * s->channels}, s->channels,
                           s->channel, *s->ring);
        return 0;
    }

    Result open(unsigned int id, RtAudio::StreamParameters* out, RtAudio::StreamParameters* in,
                std::uint32_t sample_rate, unsigned int frames, RtAudioCallback callback,
                const char* name, RtAudioErrorCallback on_error, std::string_view prefix) {
        (out ? out : in)->deviceId = id;
        RtAudio::StreamOptions options;
        options.streamName = name;
        auto opened = call([&] {
            host->openStream(out, in, RTAUDIO_FLOAT32, sample_rate, &frames, callback, this,
                             &options, on_error);
        });
        if (!opened) return opened;
        watch.watch(*host, prefix);
        return call([&] { host->startStream(); });
    }
};

std::size_t capture_frames(std::span<const float> buffer, std::size_t channels, std::size_t channel,
                           CaptureRing& ring) {
    if (channels == 0 || channel >= channels) return 0;
    std::size_t pushed = 0;
    for (std::size_t i = channel; i < buffer.size(); i += channels)
        pushed += ring.try_push(buffer[i]) ? 1 : 0;
    return pushed;
}

std::expected<DeviceDefaults, std::string> query_device() {
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

Result CpalBackend::start(const engine::EngineConfig& config, RenderFn render) {
    auto stream = std::make_unique<Stream>();
    stream->render = std::move(render);  // dropped with `stream` on every failure below

    auto device = default_device(Direction::Output);
    if (!device) return std::unexpected(std::string("no output device available"));
    if (device->info)
        support::log::info(
            kTarget, fmt::format("device default: {}Hz, {} ch, Unknown",
                                 device->info->preferredSampleRate, device->info->outputChannels));

    if (config.channels > std::numeric_limits<std::uint16_t>::max() ||
        config.max_block > std::numeric_limits<std::uint32_t>::max())
        return std::unexpected(std::string("out of range integral type conversion attempted"));
    support::log::info(kTarget, fmt::format("requesting: {}Hz, {} ch, block={}", config.sample_rate,
                                            config.channels, config.max_block));

    stream->host = std::move(device->host);
    stream->channels = config.channels;
    RtAudio::StreamParameters out;
    out.nChannels = static_cast<unsigned int>(config.channels);
    if (auto r = stream->open(device->id, &out, nullptr, config.sample_rate,
                              static_cast<unsigned int>(config.max_block), Stream::render_forwarder,
                              kOutputName, on_output_error, kOutputError);
        !r)
        return r;
    output_ = std::move(stream);
    return {};
}

void CpalBackend::stop() {
    output_.reset();
}

std::expected<std::shared_ptr<CaptureRing>, std::string> CpalBackend::start_input(
    std::uint32_t sample_rate, std::size_t channel) {
    auto device = default_device(Direction::Input);
    if (!device) return std::unexpected(std::string("no input device available"));
    if (!device->info) return std::unexpected(device->info.error());
    const std::size_t channels = device->info->inputChannels;
    if (channel >= channels)
        return std::unexpected(
            fmt::format("channel {} out of range (device has {} channels)", channel, channels));

    auto stream = std::make_unique<Stream>();
    stream->ring = std::make_shared<CaptureRing>(sample_rate / 5);
    stream->channels = channels;
    stream->channel = channel;
    support::log::info(kTarget, fmt::format("input device: {} ch, {}Hz, capturing ch {}", channels,
                                            sample_rate, channel));

    stream->host = std::move(device->host);
    RtAudio::StreamParameters in;
    in.nChannels = static_cast<unsigned int>(channels);
    // 0 frames: the device's own buffer size.
    if (auto r = stream->open(device->id, nullptr, &in, sample_rate, 0, Stream::capture_callback,
                              kInputName, on_input_error, kInputError);
        !r)
        return std::unexpected(r.error());
    auto ring = stream->ring;
    input_ = std::move(stream);
    return ring;
}

}  // namespace audio_engine::output::cpal_backend
