#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <span>
#include <thread>

#include "jack_rig/jack_rig.hpp"

namespace jack_rig {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kMaxPorts = 16;
constexpr std::size_t kMaxMessage = 1024;
constexpr std::size_t kMaxPeriod = 8192;  // JACK's largest period
constexpr std::size_t kRecordRing = std::size_t{4} << 20;
constexpr std::size_t kSendRing = std::size_t{64} << 10;

enum class Kind : std::uint8_t { Midi, Audio };

// Realtime side -> drain thread. The payload follows the header in the ring.
struct RecordHeader {
    Kind kind;
    std::uint8_t port;
    std::uint32_t frame;
    std::int64_t steady_ns;
    std::uint32_t size;  // payload bytes
};

// Sending threads -> realtime side.
struct SendHeader {
    std::uint8_t port;
    std::uint32_t size;
};

// Ports visible to the realtime side: the slot is written before the count is published.
struct PortSet {
    std::array<jack_port_t*, kMaxPorts> ports{};
    std::atomic<std::size_t> count{0};
};

// Single-producer single-consumer byte ring. A record (header and payload) is published with
// one release store, so the reader never sees half of one. Own atomics rather than libjack's
// ring: ThreadSanitizer sees them, and it cannot see inside libjack.
class Ring {
public:
    explicit Ring(std::size_t capacity) : buf_(capacity), mask_(capacity - 1) {}

    // Producer side: all parts or nothing.
    bool push(std::initializer_list<std::span<const std::byte>> parts) {
        std::size_t total = 0;
        for (auto p : parts)
            total += p.size();
        const std::size_t w = write_.load(std::memory_order_relaxed);
        const std::size_t r = read_.load(std::memory_order_acquire);
        if (buf_.size() - (w - r) < total) return false;
        std::size_t at = w;
        for (auto p : parts) {
            copy_in(at, p);
            at += p.size();
        }
        write_.store(w + total, std::memory_order_release);
        return true;
    }

    // Consumer side.
    std::size_t available() const {
        return write_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed);
    }
    // Only whole records are ever available, so a header read implies its payload is there.
    void read(void* out, std::size_t n) {
        const std::size_t r = read_.load(std::memory_order_relaxed);
        copy_out(r, static_cast<std::byte*>(out), n);
        read_.store(r + n, std::memory_order_release);
    }

private:
    void copy_in(std::size_t at, std::span<const std::byte> p) {
        const std::size_t i = at & mask_;
        const std::size_t first = std::min(p.size(), buf_.size() - i);
        std::memcpy(buf_.data() + i, p.data(), first);
        std::memcpy(buf_.data(), p.data() + first, p.size() - first);
    }
    void copy_out(std::size_t at, std::byte* out, std::size_t n) const {
        const std::size_t i = at & mask_;
        const std::size_t first = std::min(n, buf_.size() - i);
        std::memcpy(out, buf_.data() + i, first);
        std::memcpy(out + first, buf_.data(), n - first);
    }

    std::vector<std::byte> buf_;  // size: a power of two
    std::size_t mask_;
    std::atomic<std::size_t> write_{0};
    std::atomic<std::size_t> read_{0};
};

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

// JACK orders the clients of a cycle with futexes in shared memory that ThreadSanitizer cannot
// see, so another client of this process writing a port buffer that we read looks like a race.
// Port buffers are touched only inside this scope, which ThreadSanitizer does not check; the
// rig's own rings and vectors stay checked.
struct PortBufferScope {
#if defined(__SANITIZE_THREAD__)
    PortBufferScope() {
        __tsan_ignore_thread_begin();
    }
    ~PortBufferScope() {
        __tsan_ignore_thread_end();
    }
#else
    PortBufferScope() {}
    ~PortBufferScope() {}
#endif
    PortBufferScope(const PortBufferScope&) = delete;
    PortBufferScope& operator=(const PortBufferScope&) = delete;
};

template <class T>
std::span<const std::byte> bytes_of(const T& value) {
    return std::as_bytes(std::span<const T, 1>(&value, 1));
}

}  // namespace

struct JackClient::State {
    jack_client_t* client = nullptr;
    std::string name;

    PortSet midi_in, midi_out, audio_in;
    Ring records{kRecordRing};
    Ring sends{kSendRing};
    std::atomic<std::size_t> dropped{0};
    std::atomic<std::uint64_t> cycles{0};
    // Frame times of the xruns the server reported, from libjack's notification thread.
    std::array<std::atomic<std::uint32_t>, 4096> xrun_frames{};
    std::atomic<std::size_t> xrun_count{0};
    // Realtime side only: one port buffer's data on its way into `records`.
    std::vector<std::byte> rt_scratch = std::vector<std::byte>(kMaxPeriod * sizeof(float));

    // Everything below is guarded by `mu`; the realtime side never takes it.
    mutable std::mutex mu;
    mutable std::condition_variable arrived;
    std::vector<std::string> midi_in_names, midi_out_names, audio_in_names;
    std::vector<MidiEvent> midi;
    std::vector<AudioTrack> tracks;
    std::vector<std::byte> scratch;

    std::mutex send_mu;  // several threads may send; the ring takes one producer

    std::mutex drain_mu;
    std::condition_variable drain_cv;
    bool stopping = false;
    std::thread drainer;

    ~State() {
        if (client) {
            jack_deactivate(client);
            jack_client_close(client);
        }
        {
            std::lock_guard lock(drain_mu);
            stopping = true;
        }
        drain_cv.notify_all();
        if (drainer.joinable()) drainer.join();
    }

    // Records the first `size` bytes of `rt_scratch`.
    void write_record(Kind kind, std::size_t port, std::uint32_t frame, std::int64_t ns,
                      std::size_t size) {
        RecordHeader h{kind, static_cast<std::uint8_t>(port), frame, ns,
                       static_cast<std::uint32_t>(size)};
        if (!records.push({bytes_of(h), {rt_scratch.data(), size}}))
            dropped.fetch_add(1, std::memory_order_relaxed);
    }

    int process(jack_nframes_t nframes) {
        const jack_nframes_t frame0 = jack_last_frame_time(client);
        const std::int64_t ns = Clock::now().time_since_epoch().count();

        const std::size_t n_midi_in = midi_in.count.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < n_midi_in; ++i) {
            void* buf;
            std::uint32_t count;
            {
                PortBufferScope scope;
                buf = jack_port_get_buffer(midi_in.ports[i], nframes);
                count = jack_midi_get_event_count(buf);
            }
            for (std::uint32_t j = 0; j < count; ++j) {
                jack_midi_event_t ev{};
                {
                    PortBufferScope scope;
                    if (jack_midi_event_get(&ev, buf, j) == 0 && ev.size <= rt_scratch.size())
                        std::memcpy(rt_scratch.data(), ev.buffer, ev.size);
                    else
                        ev.size = 0;
                }
                if (ev.size == 0)
                    dropped.fetch_add(1, std::memory_order_relaxed);
                else
                    write_record(Kind::Midi, i, frame0 + ev.time, ns, ev.size);
            }
        }

        const std::size_t n_audio_in = audio_in.count.load(std::memory_order_acquire);
        const std::size_t audio_bytes = nframes * sizeof(float);
        if (audio_bytes > rt_scratch.size())
            dropped.fetch_add(n_audio_in, std::memory_order_relaxed);
        for (std::size_t i = 0; i < n_audio_in && audio_bytes <= rt_scratch.size(); ++i) {
            {
                PortBufferScope scope;
                std::memcpy(rt_scratch.data(), jack_port_get_buffer(audio_in.ports[i], nframes),
                            audio_bytes);
            }
            write_record(Kind::Audio, i, frame0, ns, audio_bytes);
        }

        // Output buffers must be cleared every cycle, whether or not anything is sent.
        std::array<void*, kMaxPorts> out{};
        const std::size_t n_midi_out = midi_out.count.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < n_midi_out; ++i) {
            PortBufferScope scope;
            out[i] = jack_port_get_buffer(midi_out.ports[i], nframes);
            jack_midi_clear_buffer(out[i]);
        }
        std::array<jack_midi_data_t, kMaxMessage> msg;
        while (sends.available() >= sizeof(SendHeader)) {
            SendHeader h;
            sends.read(&h, sizeof h);
            sends.read(msg.data(), h.size);
            PortBufferScope scope;
            if (h.port >= n_midi_out ||
                jack_midi_event_write(out[h.port], 0, msg.data(), h.size) != 0)
                dropped.fetch_add(1, std::memory_order_relaxed);
        }

        cycles.fetch_add(1, std::memory_order_release);
        return 0;
    }

    // Moves finished records from the ring into the vectors; caller holds `mu`.
    bool drain_locked() {
        bool any = false;
        while (records.available() >= sizeof(RecordHeader)) {
            RecordHeader h;
            records.read(&h, sizeof h);
            scratch.resize(h.size);
            records.read(scratch.data(), h.size);
            any = true;
            if (h.kind == Kind::Midi) {
                MidiEvent e;
                e.port = h.port < midi_in_names.size() ? midi_in_names[h.port] : std::string{};
                const auto* b = reinterpret_cast<const std::uint8_t*>(scratch.data());
                e.bytes.assign(b, b + scratch.size());
                e.frame = h.frame;
                e.cycle_time = Clock::time_point(Clock::duration(h.steady_ns));
                midi.push_back(std::move(e));
            } else {
                if (h.port >= tracks.size()) tracks.resize(h.port + 1);
                AudioTrack& t = tracks[h.port];
                if (t.samples.empty()) t.first_frame = h.frame;
                const std::size_t n = h.size / sizeof(float);
                const std::size_t old = t.samples.size();
                t.samples.resize(old + n);
                std::memcpy(t.samples.data() + old, scratch.data(), n * sizeof(float));
                t.cycles.push_back({h.frame, static_cast<std::uint32_t>(n)});
            }
        }
        return any;
    }

    void drain_loop() {
        std::unique_lock stop_lock(drain_mu);
        while (!stopping) {
            stop_lock.unlock();
            bool any;
            {
                std::lock_guard lock(mu);
                any = drain_locked();
            }
            if (any) arrived.notify_all();
            stop_lock.lock();
            drain_cv.wait_for(stop_lock, 2ms, [&] { return stopping; });
        }
    }

    std::expected<std::string, Error> add_port(PortSet& set, std::vector<std::string>& names,
                                               std::string_view short_name, const char* type,
                                               unsigned long flags) {
        std::lock_guard lock(mu);
        const std::size_t n = set.count.load(std::memory_order_relaxed);
        if (n >= kMaxPorts) return std::unexpected(Error{"too many ports of this kind"});
        const std::string s(short_name);
        jack_port_t* port = jack_port_register(client, s.c_str(), type, flags, 0);
        if (!port) return std::unexpected(Error{"cannot register port '" + s + "'"});
        set.ports[n] = port;
        names.push_back(s);
        set.count.store(n + 1, std::memory_order_release);
        return std::string(jack_port_name(port));
    }

    std::ptrdiff_t audio_index(std::string_view port) const {
        auto it = std::find(audio_in_names.begin(), audio_in_names.end(), port);
        return it == audio_in_names.end() ? -1 : it - audio_in_names.begin();
    }
};

namespace {

std::vector<std::string> take_names(const char** names) {
    std::vector<std::string> out;
    if (!names) return out;
    for (const char** p = names; *p; ++p)
        out.emplace_back(*p);
    jack_free(names);
    return out;
}

}  // namespace

JackClient::JackClient(JackLock lock, std::unique_ptr<State> state)
    : lock_(std::move(lock)), state_(std::move(state)) {}

JackClient::~JackClient() = default;

std::expected<std::unique_ptr<JackClient>, Error> JackClient::open(std::string_view client_name,
                                                                   std::string_view server) {
    silence_jack_messages();
    auto lock = JackLock::acquire();
    if (!lock) return std::unexpected(lock.error());
    auto state = std::make_unique<State>();

    const std::string name(client_name);
    const std::string server_name(server);
    jack_status_t status{};
    if (server_name.empty()) {
        state->client = jack_client_open(name.c_str(), JackNoStartServer, &status);
    } else {
        const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
        state->client = jack_client_open(name.c_str(), options, &status, server_name.c_str());
    }
    if (!state->client) {
        const char* env = std::getenv("JACK_DEFAULT_SERVER");
        const std::string shown = !server_name.empty() ? server_name : env ? env : "default";
        return std::unexpected(Error{"cannot open JACK client '" + name + "' on server '" + shown +
                                     "' (status " + std::to_string(status) + ")"});
    }
    state->name = jack_get_client_name(state->client);

    auto process = [](jack_nframes_t nframes, void* arg) {
        return static_cast<State*>(arg)->process(nframes);
    };
    if (jack_set_process_callback(state->client, process, state.get()) != 0)
        return std::unexpected(Error{"cannot set the process callback"});
    jack_set_xrun_callback(
        state->client,
        [](void* arg) {
            auto* s = static_cast<State*>(arg);
            const std::size_t i = s->xrun_count.load(std::memory_order_relaxed);
            if (i < s->xrun_frames.size()) {
                s->xrun_frames[i].store(jack_frame_time(s->client), std::memory_order_relaxed);
                s->xrun_count.store(i + 1, std::memory_order_release);
            }
            return 0;
        },
        state.get());
    state->drainer = std::thread([s = state.get()] { s->drain_loop(); });
    if (jack_activate(state->client) != 0)
        return std::unexpected(Error{"cannot activate JACK client '" + state->name + "'"});
    return std::unique_ptr<JackClient>(new JackClient(std::move(*lock), std::move(state)));
}

const std::string& JackClient::name() const {
    return state_->name;
}

std::uint32_t JackClient::sample_rate() const {
    return jack_get_sample_rate(state_->client);
}

std::uint32_t JackClient::period() const {
    return jack_get_buffer_size(state_->client);
}

std::expected<void, Error> JackClient::set_buffer_size(std::uint32_t frames) {
    if (frames > kMaxPeriod)
        return std::unexpected(
            Error{"a period of " + std::to_string(frames) + " frames is too long"});
    if (const int rc = jack_set_buffer_size(state_->client, frames); rc != 0)
        return std::unexpected(Error{"JACK refused a period of " + std::to_string(frames) +
                                     " frames (" + std::to_string(rc) + ")"});
    return {};
}

std::uint32_t JackClient::frame_time() const {
    return jack_frame_time(state_->client);
}

std::expected<std::string, Error> JackClient::add_midi_input(std::string_view port) {
    return state_->add_port(state_->midi_in, state_->midi_in_names, port, JACK_DEFAULT_MIDI_TYPE,
                            JackPortIsInput);
}

std::expected<std::string, Error> JackClient::add_midi_output(std::string_view port) {
    return state_->add_port(state_->midi_out, state_->midi_out_names, port, JACK_DEFAULT_MIDI_TYPE,
                            JackPortIsOutput);
}

std::expected<std::string, Error> JackClient::add_audio_input(std::string_view port) {
    auto r = state_->add_port(state_->audio_in, state_->audio_in_names, port,
                              JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput);
    if (r) {
        std::lock_guard lock(state_->mu);
        state_->tracks.resize(state_->audio_in_names.size());
    }
    return r;
}

std::expected<void, Error> JackClient::connect(std::string_view source,
                                               std::string_view destination) {
    const std::string src(source), dst(destination);
    const int rc = jack_connect(state_->client, src.c_str(), dst.c_str());
    if (rc == 0 || rc == EEXIST) return {};
    return std::unexpected(
        Error{"cannot connect '" + src + "' to '" + dst + "' (" + std::to_string(rc) + ")"});
}

std::vector<std::string> JackClient::ports(std::string_view pattern, PortType type,
                                           Direction direction) const {
    const std::string pat(pattern);
    const char* type_pattern = type == PortType::Audio  ? JACK_DEFAULT_AUDIO_TYPE
                               : type == PortType::Midi ? JACK_DEFAULT_MIDI_TYPE
                                                        : nullptr;
    const unsigned long flags = direction == Direction::Input    ? JackPortIsInput
                                : direction == Direction::Output ? JackPortIsOutput
                                                                 : 0;
    return take_names(
        jack_get_ports(state_->client, pat.empty() ? nullptr : pat.c_str(), type_pattern, flags));
}

std::vector<std::string> JackClient::connections(std::string_view port) const {
    const std::string p(port);
    jack_port_t* handle = jack_port_by_name(state_->client, p.c_str());
    if (!handle) return {};
    return take_names(jack_port_get_all_connections(state_->client, handle));
}

bool JackClient::wait_for_port(std::string_view port, std::chrono::milliseconds timeout) const {
    const std::string p(port);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (jack_port_by_name(state_->client, p.c_str())) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

std::expected<void, Error> JackClient::send_midi(std::span<const std::uint8_t> bytes,
                                                 std::string_view port) {
    if (bytes.empty() || bytes.size() > kMaxMessage)
        return std::unexpected(Error{"a MIDI message must have 1 to 1024 bytes"});
    std::size_t index = 0;
    {
        std::lock_guard lock(state_->mu);
        const auto& names = state_->midi_out_names;
        if (names.empty()) return std::unexpected(Error{"no MIDI output port registered"});
        if (!port.empty()) {
            auto it = std::find(names.begin(), names.end(), port);
            if (it == names.end())
                return std::unexpected(Error{"no MIDI output port '" + std::string(port) + "'"});
            index = static_cast<std::size_t>(it - names.begin());
        }
    }
    SendHeader h{static_cast<std::uint8_t>(index), static_cast<std::uint32_t>(bytes.size())};
    std::lock_guard lock(state_->send_mu);
    if (!state_->sends.push({bytes_of(h), std::as_bytes(bytes)}))
        return std::unexpected(Error{"MIDI send queue full"});
    return {};
}

std::vector<MidiEvent> JackClient::midi_events() const {
    std::lock_guard lock(state_->mu);
    state_->drain_locked();
    return state_->midi;
}

bool JackClient::wait_for_midi(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mu);
    return state_->arrived.wait_for(lock, timeout, [&] {
        state_->drain_locked();
        return state_->midi.size() >= count;
    });
}

AudioTrack JackClient::audio(std::string_view port) const {
    std::lock_guard lock(state_->mu);
    state_->drain_locked();
    const auto i = state_->audio_index(port);
    if (i < 0 || static_cast<std::size_t>(i) >= state_->tracks.size()) return {};
    return state_->tracks[static_cast<std::size_t>(i)];
}

bool JackClient::wait_for_audio(std::string_view port, std::size_t frames,
                                std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mu);
    const auto i = state_->audio_index(port);
    if (i < 0) return false;
    return state_->arrived.wait_for(lock, timeout, [&] {
        state_->drain_locked();
        const auto k = static_cast<std::size_t>(i);
        return k < state_->tracks.size() && state_->tracks[k].samples.size() >= frames;
    });
}

bool JackClient::wait_cycles(std::size_t cycles, std::chrono::milliseconds timeout) const {
    const std::uint64_t target = state_->cycles.load(std::memory_order_acquire) + cycles;
    const auto deadline = Clock::now() + timeout;
    while (state_->cycles.load(std::memory_order_acquire) < target) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void JackClient::clear() {
    std::lock_guard lock(state_->mu);
    state_->drain_locked();
    state_->midi.clear();
    for (auto& t : state_->tracks) {
        t.samples.clear();
        t.cycles.clear();
        t.first_frame = 0;
    }
}

std::vector<std::uint32_t> JackClient::xruns() const {
    std::vector<std::uint32_t> out(state_->xrun_count.load(std::memory_order_acquire));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = state_->xrun_frames[i].load(std::memory_order_relaxed);
    return out;
}

std::size_t JackClient::dropped() const {
    return state_->dropped.load(std::memory_order_relaxed);
}

}  // namespace jack_rig
