// jack_rig — a private JACK server and a recording/sending client for end-to-end tests.
//
// `JackServer::start` runs `jackd -n vorla-rig-N -d dummy -r 48000 -p 256` as a child process
// (N from a pool of 4 names), waits until a client can connect, and points JACK_DEFAULT_SERVER
// of this process at it, so
// every JACK client opened afterwards in this process (libjack, RtMidi, RtAudio) lands on it.
// Dropping the server stops it (SIGTERM, SIGKILL only as a last resort) and restores the
// variable. The dummy driver paces in real time; it has system:capture_N and
// system:playback_N audio ports and no MIDI ports.
//
// `JackClient` is an active libjack client on that server. It registers MIDI/audio input ports
// whose data it records, MIDI output ports it sends queued bytes on (in the next cycle), and it
// lists and connects ports by name. Recording: the process callback copies into a lock-free
// ring; a drain thread of the client moves the records into plain vectors that the test
// thread reads, so recordings have no length limit.
//
// JACK is used by one test program at a time (`JackLock`): jackd2 shares per-user state across
// servers that breaks under parallel use. Every jack_client_open (even one finding no server)
// opens /dev/shm/jack_db-<uid>, which every exiting jackd deletes (SIGBUS in a concurrent
// client); client sockets are named without the server (same-named clients of two servers
// break each other); and at most 8 servers run per machine. JackServer and JackClient hold the
// machine-wide JackLock, so parallel test programs (ctest -j) queue for it. A test that opens a
// JACK client without them (e.g. to see a failure with no server) holds a JackLock itself.
//
// Contract:
// - Every failure is a returned `Error`; nothing throws.
// - The child jackd gets SIGTERM when the thread that started it dies (PR_SET_PDEATHSIG), so a
//   crashing test does not leave a server behind; it also inherits the lock, which therefore
//   stays taken until that jackd is gone. Start servers from a thread that outlives them (the
//   test's main thread).
// - Several servers in one process: libjack keeps the shared state of the first server a
//   client of this process opened, and later clients opened while any client is still open
//   see that server's graph whatever name they asked for. Close every client of one server
//   before opening a client on another.
// - libjack's own stderr messages are silenced process-wide (`silence_jack_messages`).
// - JackClient's methods may be called from any non-realtime thread; the object is not movable
//   (the realtime callback holds its address).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace jack_rig {

struct Error {
    std::string message;
};

inline constexpr std::uint32_t kSampleRate = 48000;
inline constexpr std::uint32_t kPeriod = 256;

struct ServerOptions {
    std::uint32_t sample_rate = kSampleRate;
    std::uint32_t period = kPeriod;
    unsigned capture_channels = 2;
    unsigned playback_channels = 2;
    // Off by default: realtime threads under sanitizers and parallel test runs buy nothing.
    bool realtime = false;
    // jackd's self-connect mode ("-a"): 'a' / 'e' ignore clients' requests to connect their own
    // ports (all / to system ports), 'A' / 'E' refuse them; 0 leaves jackd's default (allow).
    char self_connect = 0;
    std::chrono::milliseconds ready_timeout{3000};
    // How long to wait for the machine-wide JackLock (other test programs using JACK).
    std::chrono::milliseconds lock_timeout{180000};
};

// Replaces libjack's error and info printers with do-nothing functions (process-wide).
void silence_jack_messages();

// The machine-wide JACK lock (flock on /tmp/vorla-jack-rig.lock, freed when the holders die).
// Re-entrant within a process: the lock is taken by the first holder and released with the
// last. Movable; dropping it releases this holder's share.
class JackLock {
public:
    static std::expected<JackLock, Error> acquire(
        std::chrono::milliseconds timeout = std::chrono::milliseconds(180000));
    JackLock(JackLock&& other) noexcept : held_(std::exchange(other.held_, false)) {}
    JackLock& operator=(JackLock&& other) noexcept;
    JackLock(const JackLock&) = delete;
    JackLock& operator=(const JackLock&) = delete;
    ~JackLock();

private:
    JackLock() = default;
    bool held_ = false;
};

// A jackd killed with SIGKILL keeps its entry in jackd2's machine-wide table of 8 servers until
// a server of the same name runs. So the rig names its servers from a pool of 4 (a new server
// takes the first name free in this process, which reclaims that name's entry), and start()
// first reclaims the dead entries of the rig's other names by running a namesake briefly. A
// start that jackd refuses (a table full of others' servers) fails at once with jackd's words.
class JackServer {
public:
    static std::expected<JackServer, Error> start(const ServerOptions& options = {});

    JackServer(JackServer&& other) noexcept;
    JackServer& operator=(JackServer&& other) noexcept;
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;
    ~JackServer();

    const std::string& name() const { return name_; }
    pid_t pid() const { return pid_; }
    const ServerOptions& options() const { return options_; }
    bool running() const { return pid_ > 0 && !crashed_; }
    // What jackd has printed so far (for diagnosing failures).
    std::string log() const;

    // Stops the server now (the destructor does the same); a second call does nothing.
    std::expected<void, Error> stop();
    // Kills jackd at once (SIGKILL), as a crash would; its clients learn it from libjack.
    // What it leaves behind is cleared by stop() or the destructor: close this process's
    // clients of it first.
    void crash();

private:
    JackServer() = default;
    void release();

    std::optional<JackLock> lock_;
    std::string name_;
    std::string jackd_;
    pid_t pid_ = -1;
    bool crashed_ = false;  // killed by crash(), not yet cleared
    int pool_index_ = -1;
    ServerOptions options_;
    int log_fd_ = -1;  // jackd's output, for start-up errors
    bool had_previous_env_ = false;
    std::string previous_env_;
};

// One MIDI message received on one of the client's MIDI input ports.
struct MidiEvent {
    std::string port;  // short name given to add_midi_input
    std::vector<std::uint8_t> bytes;
    std::uint32_t frame = 0;  // JACK frame time: start of the cycle + the event's offset
    std::chrono::steady_clock::time_point cycle_time;  // when the delivering cycle ran
};

// One recorded process cycle of an audio track: where it began in JACK's frame time and how many
// samples it brought. A cycle that does not begin where the one before ended was missed.
struct AudioCycle {
    std::uint32_t frame = 0;
    std::uint32_t frames = 0;
};

// The samples recorded on one audio input port since it was registered (or since clear()).
struct AudioTrack {
    std::uint32_t first_frame = 0;  // JACK frame time of samples[0]
    std::vector<float> samples;
    std::vector<AudioCycle> cycles;  // in order; their lengths add up to samples.size()
};

enum class PortType { Any, Audio, Midi };
enum class Direction { Any, Input, Output };  // Input: a port that receives data

class JackClient {
public:
    // Opens and activates a client. An empty `server` means JACK_DEFAULT_SERVER (what
    // JackServer::start sets). JACK may append a suffix to a taken client name: see name().
    // Waits for the JackLock like JackServer::start (immediate when this process holds it).
    static std::expected<std::unique_ptr<JackClient>, Error> open(std::string_view client_name,
                                                                  std::string_view server = {});
    ~JackClient();
    JackClient(const JackClient&) = delete;
    JackClient& operator=(const JackClient&) = delete;

    const std::string& name() const;
    std::uint32_t sample_rate() const;
    std::uint32_t period() const;
    // Asks the server for another period (what `jack_bufsize` does); returns once it is in use.
    std::expected<void, Error> set_buffer_size(std::uint32_t frames);
    std::uint32_t frame_time() const;  // JACK's current frame time estimate

    // Each returns the full port name "client:port". At most 16 ports of each kind.
    std::expected<std::string, Error> add_midi_input(std::string_view port);
    std::expected<std::string, Error> add_midi_output(std::string_view port);
    std::expected<std::string, Error> add_audio_input(std::string_view port);

    // Connects a source (output) port to a destination (input) port; already connected is fine.
    std::expected<void, Error> connect(std::string_view source, std::string_view destination);
    // Every port on the server, in JACK's order; `pattern` is a JACK regular expression.
    std::vector<std::string> ports(std::string_view pattern = {}, PortType type = PortType::Any,
                                   Direction direction = Direction::Any) const;
    std::vector<std::string> connections(std::string_view port) const;
    bool wait_for_port(std::string_view port, std::chrono::milliseconds timeout) const;

    // Queues one MIDI message for an output port (empty: the first one); it leaves at
    // offset 0 of the next cycle. Messages leave in the order they were queued.
    std::expected<void, Error> send_midi(std::span<const std::uint8_t> bytes,
                                         std::string_view port = {});

    // Everything received so far, in arrival order.
    std::vector<MidiEvent> midi_events() const;
    // True once at least `count` MIDI events have been received.
    bool wait_for_midi(std::size_t count, std::chrono::milliseconds timeout) const;
    AudioTrack audio(std::string_view port) const;
    bool wait_for_audio(std::string_view port, std::size_t frames,
                        std::chrono::milliseconds timeout) const;
    // Waits until `cycles` more process cycles have run.
    bool wait_cycles(std::size_t cycles, std::chrono::milliseconds timeout) const;
    // Drops the recordings (MIDI and audio) made so far.
    void clear();
    // JACK's frame time when the server reported each xrun (a cycle that ran late) so far.
    std::vector<std::uint32_t> xruns() const;
    // Records or messages the realtime side had to drop (a full buffer); should stay 0.
    std::size_t dropped() const;

private:
    struct State;
    JackClient(JackLock lock, std::unique_ptr<State> state);

    JackLock lock_;  // declared first: released after the client is closed
    std::unique_ptr<State> state_;
};

}  // namespace jack_rig
