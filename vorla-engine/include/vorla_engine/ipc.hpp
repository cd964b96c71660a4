// vorla_engine::ipc — the engine's door: one client at a time on a Unix socket, JSON lines in,
// one JSON reply line per request line out.
//
// Start-up calls `start`, which takes the socket under a PID lock file (the socket path with
// the extension "pid") and runs `run_server` on the thread "zorva-ipc". The server greets each
// connection with a hello line, answers pings, the node-type list and pattern commands itself
// (pattern commands are compiled here and queued without waiting) and hands audio requests and
// status requests to the main loop as `LoopCommand`s, waiting at most 5 s for each answer.
// Once the main loop is gone every request it would have to see, pattern commands included,
// is answered "main loop disconnected".
// Dropping the `IpcHandle` stops the server and removes the socket and PID files, as long as
// they are still the ones it made. Start-up removes only a stale socket and replaces only a
// file that holds what an engine writes to its PID file; it never writes through a link.
//
// Threads: the IPC thread owns the connection and sends loop commands; the main thread
// receives them and answers on the one-slot channel each request carries; the node-type list
// is written by the main loop and read by the IPC thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "audio_engine/engine.hpp"
#include "audio_engine/ir.hpp"
#include "audio_engine/protocol.hpp"
#include "pattern_engine/engine.hpp"
#include "support/channel.hpp"
#include "vorla_engine/platform/unix_socket.hpp"

namespace vorla_engine::ipc {

// ---- replies ----

struct SlotInfo {
    std::string name;
    bool playing = false;
    bool operator==(const SlotInfo&) const = default;
};

struct TransportInfo {
    double bpm = 0.0;
    double meter = 0.0;
    double master = 0.0;
    bool operator==(const TransportInfo&) const = default;
};

namespace response {
struct Ok {
    std::string msg;
    bool operator==(const Ok&) const = default;
};
struct Error {
    std::string msg;
    bool operator==(const Error&) const = default;
};
struct Pong {
    bool operator==(const Pong&) const = default;
};
struct NodeTypes {
    std::vector<std::string> types;
    bool operator==(const NodeTypes&) const = default;
};
struct State {
    std::vector<audio_engine::ir::NodeInstance> nodes;
    std::vector<audio_engine::ir::ConnectionIr> connections;
    std::map<std::string, std::pair<std::string, std::string>> exposed_controls;
    std::map<std::string, float> control_values;
    std::vector<SlotInfo> slots;
    TransportInfo transport;
    bool operator==(const State&) const = default;
};
}  // namespace response

// The reply to one request line; variants in wire order, tagged by "status".
struct IpcResponse : std::variant<response::Ok, response::Error, response::Pong,
                                  response::NodeTypes, response::State> {
    using variant::variant;
};

// Compact JSON, members in declaration order after "status"; numbers in their shortest form
// (whole ones with ".0"), NaN and infinities as null. `append_json_line` adds the "\n".
void append_json(std::string& out, const IpcResponse& response);
void append_json_line(std::string& out, const IpcResponse& response);
std::string json_line(const IpcResponse& response);

// The status reply: graph state moved from the snapshot, slots in the given order, the
// transport numbers unchanged.
IpcResponse build_state_response(audio_engine::engine::EngineSnapshot snapshot,
                                 std::vector<SlotInfo> slots, double bpm, double meter,
                                 double master);

// ---- loop commands ----

// The main loop's answer to an audio request: a success text or an error text.
using AudioResult = std::expected<std::string, std::string>;

namespace loop {
// Already answered "Ok" by the IPC thread.
struct PatternCommand {
    pattern_engine::engine::EngineCommand command;
};
struct AudioRequest {
    audio_engine::protocol::ClientMessage message;
    support::channel::SlotSender<AudioResult> reply;
};
struct StateRequest {
    support::channel::SlotSender<IpcResponse> reply;  // answered with build_state_response
};
}  // namespace loop

struct LoopCommand : std::variant<loop::PatternCommand, loop::AudioRequest, loop::StateRequest> {
    using variant::variant;
};

using LoopSender = support::channel::Sender<LoopCommand>;
using LoopReceiver = support::channel::Receiver<LoopCommand>;

// ---- the server ----

// The node-type ids, shared between the main loop (writer) and the IPC thread (reader).
class NodeTypeList {
public:
    void set(std::vector<std::string> types) {
        std::unique_lock lock(mutex_);
        types_ = std::move(types);
    }
    std::vector<std::string> get() const {
        std::shared_lock lock(mutex_);
        return types_;
    }

private:
    mutable std::shared_mutex mutex_;
    std::vector<std::string> types_;
};

inline constexpr std::size_t max_line_bytes = 1048576;
inline constexpr std::chrono::milliseconds read_timeout{100};
inline constexpr std::string_view hello_line = "{\"protocol\":1,\"engine\":\"vorla-engine\"}\n";

struct ServerOptions {
    // How long an audio or status request waits for the main loop (shorter only in tests; the
    // reply names 5 s whatever this is).
    std::chrono::milliseconds reply_wait{5000};
};

// The socket and PID files a server made, by path and identity: removed (from any thread) only
// while the paths still name those very files.
struct OwnFiles {
    std::filesystem::path socket_path;
    platform::FileId socket;
    platform::FileId pid_file;
    void remove() const;
};

// Owned by start-up; dropping it raises the shutdown flag, wakes a server blocked in accept
// and removes the socket and PID files while they are still the ones `start` made (a second
// engine may have taken the path since). The server thread is detached, never joined: it ends
// on its own within one read time-out.
class IpcHandle {
public:
    // `listener`: a second descriptor of the server's listening socket; `socket`: the socket
    // file bound to it; `pid_file`: the PID file, kept open so that its identity stays unique.
    IpcHandle(std::filesystem::path socket_path, std::shared_ptr<std::atomic<bool>> shutdown,
              platform::Fd listener, platform::FileId socket, platform::Fd pid_file);
    IpcHandle(IpcHandle&&) noexcept = default;
    IpcHandle& operator=(IpcHandle&&) noexcept;
    ~IpcHandle();

    const std::filesystem::path& socket_path() const { return socket_path_; }
    // For a shutdown that cannot wait for this handle to be dropped.
    OwnFiles own_files() const;

private:
    void stop();

    std::filesystem::path socket_path_;
    std::shared_ptr<std::atomic<bool>> shutdown_;
    platform::Fd listener_;
    platform::FileId socket_;
    platform::Fd pid_file_;
};

// The socket path with its extension replaced by "pid" ("vorla.sock" -> "vorla.pid").
std::filesystem::path pid_path_for(const std::filesystem::path& socket_path);

// Takes the socket and starts the thread "zorva-ipc". Errors: "another vorla-engine (PID {})
// owns {}", "write PID lock: {}", "bind {}: {}". A socket file is stale (and replaced) unless
// the PID file names a number and either "/proc/{}" exists or the socket accepts a connection.
// Nothing is written before the path is checked: an empty or too long path, or anything but a
// socket at it ("Address already in use"), fails first. An existing PID file is replaced only
// when it holds nothing or a decimal number ("File exists" otherwise, also for links).
std::expected<IpcHandle, std::string> start(std::filesystem::path socket_path, LoopSender loop,
                                            std::shared_ptr<NodeTypeList> node_types,
                                            ServerOptions options = {});

// The body of the server thread: serves connections one after another until accept fails or
// the flag is raised.
void run_server(platform::Fd listener, LoopSender loop, std::shared_ptr<NodeTypeList> node_types,
                std::shared_ptr<std::atomic<bool>> shutdown, ServerOptions options = {});

}  // namespace vorla_engine::ipc

namespace vorla_engine {
using ipc::LoopCommand;
}  // namespace vorla_engine
