#include "vorla_engine/ipc.hpp"

#include <charconv>
#include <cstdio>
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

// The PID of a live engine that owns the socket, if any.
std::optional<std::uint32_t> live_owner(const fs::path& socket_path, const fs::path& pid_path) {
    auto text = platform::read_file(pid_path);
    auto trimmed = text ? trim_utf8(*text) : std::nullopt;
    if (!trimmed) return std::nullopt;
    std::string_view digits = *trimmed;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    std::uint32_t pid = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    std::error_code ignored;
    if (fs::exists(fs::path("/proc") / std::to_string(pid), ignored)) return pid;
    if (platform::connect_unix(socket_path)) return pid;
    return std::nullopt;
}

}  // namespace

fs::path pid_path_for(const fs::path& socket_path) {
    return fs::path(socket_path).replace_extension("pid");
}

IpcHandle::IpcHandle(fs::path socket_path, std::shared_ptr<std::atomic<bool>> shutdown)
    : socket_path_(std::move(socket_path)), shutdown_(std::move(shutdown)) {}

IpcHandle& IpcHandle::operator=(IpcHandle&& other) noexcept {
    if (this != &other) {
        stop();
        socket_path_ = std::move(other.socket_path_);
        shutdown_ = std::move(other.shutdown_);
    }
    return *this;
}

IpcHandle::~IpcHandle() {
    stop();
}

void IpcHandle::stop() {
    if (!shutdown_) return;
    shutdown_->store(true);
    shutdown_.reset();
    (void)platform::connect_unix(socket_path_);  // wakes a server blocked in accept
    std::error_code ignored;
    fs::remove(socket_path_, ignored);
    fs::remove(pid_path_for(socket_path_), ignored);
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
    const fs::path pid_path = pid_path_for(socket_path);
    std::error_code ignored;
    if (fs::exists(socket_path, ignored)) {
        if (auto pid = live_owner(socket_path, pid_path)) {
            return std::unexpected("another vorla-engine (PID " + std::to_string(*pid) + ") owns " +
                                   socket_path.string());
        }
    }
    fs::remove(socket_path, ignored);
    if (auto written = platform::write_file(pid_path, std::to_string(platform::process_id()));
        !written) {
        return std::unexpected("write PID lock: " + written.error());
    }
    auto listener = platform::listen_unix(socket_path);
    if (!listener) return std::unexpected("bind " + socket_path.string() + ": " + listener.error());

    auto shutdown = std::make_shared<std::atomic<bool>>(false);
    try {
        std::thread([listener = std::move(*listener), loop = std::move(loop),
                     node_types = std::move(node_types), shutdown, options]() mutable {
            platform::set_thread_name("zorva-ipc");
            run_server(std::move(listener), std::move(loop), std::move(node_types),
                       std::move(shutdown), options);
        }).detach();
    } catch (const std::system_error&) {
        std::fputs("failed to spawn IPC thread\n", stderr);
        std::abort();
    }
    return IpcHandle(std::move(socket_path), std::move(shutdown));
}

}  // namespace vorla_engine::ipc
