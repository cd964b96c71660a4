#include "vorla_engine/ipc.hpp"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <type_traits>

#include "line_reader.hpp"
#include "pattern_engine/ipc.hpp"
#include "pattern_engine/ipc/protocol.hpp"
#include "support/json.hpp"
#include "support/log.hpp"

namespace vorla_engine::ipc {

namespace fs = std::filesystem;
namespace json = support::json;
namespace channel = support::channel;
namespace pattern = pattern_engine::ipc::protocol;
namespace audio = audio_engine::protocol;

namespace {

constexpr std::string_view kTarget = "vorla_engine::ipc";
constexpr std::string_view kDisconnected = "main loop disconnected";
constexpr std::string_view kNoAnswer = "main loop did not respond within 5s";

response::Error error(std::string text) {
    return {std::move(text)};
}

// Turns one request line into its reply, sending loop commands on the way.
class Router {
public:
    Router(const LoopSender& loop, const NodeTypeList& node_types, std::chrono::milliseconds wait)
        : loop_(loop), node_types_(node_types), wait_(wait) {}

    IpcResponse route(std::string_view line) {
        auto root = parser_.parse(line);
        if (root) {
            if (is_status(*root)) {
                auto state = ask<IpcResponse>(
                    [](auto reply) { return loop::StateRequest{std::move(reply)}; });
                return state ? std::move(*state) : IpcResponse(std::move(state.error()));
            }
            if (auto message = json::read_as<pattern::ClientMessage>(*root)) {
                return pattern_command(std::move(*message));
            }
            if (auto message = json::read_as<audio::ClientMessage>(*root)) {
                return audio_request(std::move(*message));
            }
        }
        return error("unrecognized message: " + std::string(line));
    }

private:
    // An object whose member "cmd" is "Status", whatever else it holds (a repeated key counts
    // by its last value, as in a plain JSON map).
    static bool is_status(json::Element root) {
        if (!root.is_object()) return false;
        bool status = false;
        for (auto member : root.members()) {
            if (member.key == "cmd")
                status = member.value.is_string() && member.value.string() == "Status";
        }
        return status;
    }

    IpcResponse pattern_command(pattern::ClientMessage message) {
        if (auto* batch = std::get_if<pattern::Batch>(&message)) {
            // Compiled whole before anything is sent: a failing element applies nothing.
            std::vector<pattern_engine::engine::EngineCommand> commands;
            for (const auto& inner : batch->commands) {
                auto compiled = pattern_engine::ipc::compile_command(inner);
                if (!compiled) return error(std::move(compiled.error()));
                if (*compiled) commands.push_back(std::move(**compiled));
            }
            bool queued = true;
            for (auto& command : commands)
                queued = send_pattern(std::move(command)) && queued;
            if (!queued) return error(std::string(kDisconnected));
            return response::Ok{"batch applied (" + std::to_string(commands.size()) + " commands)"};
        }
        auto compiled = pattern_engine::ipc::compile_command(message);
        if (!compiled) return error(std::move(compiled.error()));
        if (!*compiled) return response::Pong{};  // only "Ping" compiles to nothing
        std::string text = pattern_engine::ipc::describe(**compiled);
        if (!send_pattern(std::move(**compiled))) return error(std::string(kDisconnected));
        return response::Ok{std::move(text)};
    }

    // A command that cannot be queued is not acknowledged: "Ok" would claim a pattern that
    // never plays.
    bool send_pattern(pattern_engine::engine::EngineCommand command) {
        if (loop_.send(loop::PatternCommand{std::move(command)})) return true;
        support::log::warn(kTarget, kDisconnected);
        return false;
    }

    IpcResponse audio_request(audio::ClientMessage message) {
        if (std::holds_alternative<audio::ListNodes>(message)) {
            return response::NodeTypes{node_types_.get()};
        }
        if (std::holds_alternative<audio::Ping>(message)) return response::Pong{};
        auto result = ask<AudioResult>([&](auto reply) {
            return loop::AudioRequest{std::move(message), std::move(reply)};
        });
        if (!result) return std::move(result.error());
        if (*result) return response::Ok{std::move(**result)};
        return error(std::move(result->error()));
    }

    // Sends the command that `make` builds around a new one-slot reply channel and waits for
    // the main loop's answer.
    template <class Answer, class Make>
    std::expected<Answer, response::Error> ask(Make&& make) {
        auto [reply, answer] = channel::one_slot<Answer>();
        if (!loop_.send(make(std::move(reply))))
            return std::unexpected(error(std::string(kDisconnected)));
        auto received = answer.recv_for(wait_);
        if (!received) return std::unexpected(error(std::string(kNoAnswer)));
        return std::move(*received);
    }

    json::Parser parser_;
    const LoopSender& loop_;
    const NodeTypeList& node_types_;
    std::chrono::milliseconds wait_;
};

// Serves one connection until it ends, fails or the flag is raised.
void serve(const platform::Fd& connection, LineReader& reader, Router& router,
           const std::atomic<bool>& shutdown) {
    platform::set_read_timeout(connection, read_timeout);
    platform::write_all(connection, hello_line);
    reader.reset();
    std::string out;
    for (;;) {
        const auto next = reader.next(connection);
        if (next == LineReader::Next::End || shutdown.load()) return;
        if (next == LineReader::Next::TimedOut) continue;
        if (next == LineReader::Next::Failed) return;
        if (reader.blank()) continue;
        out.clear();
        if (reader.length() > max_line_bytes) {
            append_json_line(out, error("message too large (" + std::to_string(reader.length()) +
                                        " bytes, max " + std::to_string(max_line_bytes) + ")"));
            platform::write_all(connection, out);  // a failure shows at the next read
            continue;
        }
        append_json_line(out, router.route(reader.line()));
        if (!platform::write_all(connection, out)) return;
    }
}

// A PID file is a few digits; anything longer is not one.
constexpr std::size_t kPidFileMax = 64;

// The digits of a PID file's text: an optional "+" and digits between whitespace.
std::optional<std::string_view> pid_digits(std::string_view text) {
    auto trimmed = trim_utf8(text);
    if (!trimmed) return std::nullopt;
    std::string_view digits = *trimmed;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return digits;
}

// The PID of a live engine that owns the socket, if any.
std::optional<std::uint32_t> live_owner(const fs::path& socket_path, const fs::path& pid_path) {
    auto text = platform::read_file(pid_path, kPidFileMax);
    auto digits = text ? pid_digits(*text) : std::nullopt;
    if (!digits) return std::nullopt;
    std::uint32_t pid = 0;
    const auto [end, ec] = std::from_chars(digits->data(), digits->data() + digits->size(), pid);
    if (ec != std::errc() || end != digits->data() + digits->size()) return std::nullopt;
    std::error_code ignored;
    if (fs::exists(fs::path("/proc") / std::to_string(pid), ignored)) return pid;
    if (platform::connect_unix(socket_path)) return pid;
    return std::nullopt;
}

// Writes our PID file as a new file, kept open. An older one goes only when it holds what an
// engine writes (digits, or nothing after a start cut short); a link, a user's file or
// anything else at the path stays.
std::expected<platform::Fd, std::string> write_pid_lock(const fs::path& pid_path) {
    const auto old = platform::file_info(pid_path);
    if (old.kind != platform::FileKind::Missing) {
        auto text = old.kind == platform::FileKind::Regular
                        ? platform::read_file(pid_path, kPidFileMax + 1)
                        : std::unexpected(std::string());
        if (!text || text->size() > kPidFileMax ||
            (!pid_digits(*text) && trim_utf8(*text) != std::string_view()))
            return std::unexpected(platform::error_text(EEXIST));
        platform::remove_file(pid_path);
    }
    return platform::create_file(pid_path, std::to_string(platform::process_id()));
}

// Whether `path` still names the file `id` names.
bool still(const fs::path& path, platform::FileKind kind, platform::FileId id) {
    const auto now = platform::file_info(path);
    return now.kind == kind && now.id == id;
}

std::unexpected<std::string> bind_error(const fs::path& socket_path, std::string_view text) {
    return std::unexpected("bind " + socket_path.string() + ": " + std::string(text));
}

}  // namespace

fs::path pid_path_for(const fs::path& socket_path) {
    return fs::path(socket_path).replace_extension("pid");
}

IpcHandle::IpcHandle(fs::path socket_path, std::shared_ptr<std::atomic<bool>> shutdown,
                     platform::Fd listener, platform::FileId socket, platform::Fd pid_file)
    : socket_path_(std::move(socket_path)),
      shutdown_(std::move(shutdown)),
      listener_(std::move(listener)),
      socket_(socket),
      pid_file_(std::move(pid_file)) {}

IpcHandle& IpcHandle::operator=(IpcHandle&& other) noexcept {
    if (this != &other) {
        stop();
        socket_path_ = std::move(other.socket_path_);
        shutdown_ = std::move(other.shutdown_);
        listener_ = std::move(other.listener_);
        socket_ = other.socket_;
        pid_file_ = std::move(other.pid_file_);
    }
    return *this;
}

IpcHandle::~IpcHandle() {
    stop();
}

void OwnFiles::remove() const {
    if (still(socket_path, platform::FileKind::Socket, socket)) platform::remove_file(socket_path);
    const fs::path pid_path = pid_path_for(socket_path);
    if (still(pid_path, platform::FileKind::Regular, pid_file)) platform::remove_file(pid_path);
}

OwnFiles IpcHandle::own_files() const {
    return {socket_path_, socket_, platform::file_id(pid_file_)};
}

void IpcHandle::stop() {
    if (!shutdown_) return;
    shutdown_->store(true);
    shutdown_.reset();
    // Wakes a server blocked in accept.
    if (still(socket_path_, platform::FileKind::Socket, socket_))
        (void)platform::connect_unix(socket_path_);
    const OwnFiles files = own_files();
    files.remove();
    platform::stop_listening(listener_);  // wakes it where the path no longer leads to it
    listener_ = {};
    pid_file_ = {};
}

void run_server(platform::Fd listener, LoopSender loop, std::shared_ptr<NodeTypeList> node_types,
                std::shared_ptr<std::atomic<bool>> shutdown, ServerOptions options) {
    Router router(loop, *node_types, options.reply_wait);
    LineReader reader(max_line_bytes);
    for (;;) {
        auto connection = platform::accept(listener);
        if (!connection || shutdown->load()) return;
        serve(*connection, reader, router, *shutdown);
    }
}

std::expected<IpcHandle, std::string> start(fs::path socket_path, LoopSender loop,
                                            std::shared_ptr<NodeTypeList> node_types,
                                            ServerOptions options) {
    if (auto valid = platform::check_socket_path(socket_path); !valid)
        return bind_error(socket_path, valid.error());
    const auto existing = platform::file_info(socket_path);
    if (existing.kind == platform::FileKind::Socket) {
        if (auto pid = live_owner(socket_path, pid_path_for(socket_path))) {
            return std::unexpected("another vorla-engine (PID " + std::to_string(*pid) + ") owns " +
                                   socket_path.string());
        }
        platform::remove_file(socket_path);  // stale
    } else if (existing.kind != platform::FileKind::Missing) {
        return bind_error(socket_path, platform::error_text(EADDRINUSE));
    }
    auto pid_file = write_pid_lock(pid_path_for(socket_path));
    if (!pid_file) return std::unexpected("write PID lock: " + pid_file.error());
    auto listener = platform::listen_unix(socket_path);
    if (!listener) return bind_error(socket_path, listener.error());
    const platform::FileId socket = platform::file_info(socket_path).id;
    auto wake = platform::duplicate(*listener);
    if (!wake) return std::unexpected(std::move(wake.error()));

    auto shutdown = std::make_shared<std::atomic<bool>>(false);
    try {
        std::thread([listener = std::move(*listener), loop = std::move(loop),
                     node_types = std::move(node_types), shutdown, options]() mutable {
            platform::set_thread_name("zorva-ipc");
            run_server(std::move(listener), std::move(loop), std::move(node_types),
                       std::move(shutdown), options);
        }).detach();
    } catch (const std::system_error&) {
        support::log::write_stderr_line("failed to spawn IPC thread\n");
        std::abort();
    }
    return IpcHandle(std::move(socket_path), std::move(shutdown), std::move(*wake), socket,
                     std::move(*pid_file));
}

}  // namespace vorla_engine::ipc
