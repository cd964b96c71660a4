#include "support/jack.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "support/log.hpp"

namespace support::jack {

namespace {

void quiet(const char*) {}

std::atomic<bool> g_server_lost{false};

// libjack's descriptions of its status bits, for a refusal in JACK's own words.
constexpr std::pair<int, const char*> kStatusWords[] = {
    {JackInvalidOption, "invalid or unsupported option"},
    {JackNameNotUnique, "the client name is not unique"},
    {JackServerError, "communication error with the JACK server"},
    {JackNoSuchClient, "no such client"},
    {JackLoadFailure, "unable to load internal client"},
    {JackInitFailure, "unable to initialize client"},
    {JackShmFailure, "unable to access shared memory"},
    {JackVersionError, "client protocol version does not match the server's"},
    {JackBackendError, "backend error"},
    {JackClientZombie, "client zombified"},
};

}  // namespace

OpenError open_error(jack_status_t status) {
    if (status & JackServerFailed) return {OpenError::Kind::NoServer, "no JACK server is running"};
    std::string words;
    for (const auto& [bit, text] : kStatusWords) {
        if (!(status & bit)) continue;
        if (!words.empty()) words += "; ";
        words += text;
    }
    if (words.empty()) words = "the operation failed";
    char hex[16];
    std::snprintf(hex, sizeof hex, "%#x", static_cast<unsigned>(status));
    return {OpenError::Kind::Refused,
            "JACK refused the client: " + words + " (status " + hex + ")"};
}

bool server_lost() {
    return g_server_lost.load(std::memory_order_acquire);
}

std::expected<std::unique_ptr<Client>, OpenError> Client::open(const std::string& name,
                                                               std::string lost_line) {
    if (server_lost())
        return std::unexpected(OpenError{
            OpenError::Kind::ServerLost,
            "the JACK server has gone away: no JACK client is opened again before a restart"});
    // libjack prints every failed attempt and every lost server otherwise.
    static std::once_flag silenced;
    std::call_once(silenced, [] {
        jack_set_error_function(quiet);
        jack_set_info_function(quiet);
    });
    std::unique_ptr<Client> c(new Client);
    c->lost_line_ = std::move(lost_line);
    jack_status_t status{};
    c->client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (!c->client_) return std::unexpected(open_error(status));
    jack_on_info_shutdown(c->client_, &Client::on_shutdown, c.get());
    return c;
}

Client::~Client() {
    close();
}

namespace {

// One request, then the connection as the server shows it now.
std::optional<std::string> try_connect(jack_client_t* client, const std::string& source,
                                       const std::string& destination) {
    const int rc = jack_connect(client, source.c_str(), destination.c_str());
    const jack_port_t* port = jack_port_by_name(client, source.c_str());
    if (port && jack_port_connected_to(port, destination.c_str())) return std::nullopt;
    std::string text = "JACK did not connect '" + source + "' to '" + destination + "' (";
    text += rc != 0 && rc != EEXIST ? "error " + std::to_string(rc)
                                    : std::string("the server ignored the request");
    return text + "): connect it yourself";
}

}  // namespace

std::optional<std::string> Client::connect(const std::string& source,
                                           const std::string& destination) {
    using Clock = std::chrono::steady_clock;
    constexpr int kCycles = 16;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    auto missing = try_connect(client_, source, destination);
    for (int i = 0; missing && i < kCycles && Clock::now() < deadline && !lost(); ++i) {
        const auto seen = cycles_.load(std::memory_order_acquire);
        while (cycles_.load(std::memory_order_acquire) == seen && Clock::now() < deadline &&
               !lost())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        missing = try_connect(client_, source, destination);
    }
    return missing;
}

// On a libjack thread that may be cancelled at any instruction: flags and one write(2) only.
void Client::on_shutdown(jack_status_t, const char* reason, void* self) {
    auto* c = static_cast<Client*>(self);
    g_server_lost.store(true, std::memory_order_release);
    if (c->entered_.exchange(true)) return;
    if (reason) std::strncpy(c->reason_, reason, sizeof c->reason_ - 1);
    c->lost_.store(true, std::memory_order_seq_cst);
    support::log::write_stderr_line(c->lost_line_);
    c->reported_.store(true, std::memory_order_release);
}

bool Client::close(std::chrono::milliseconds wait) {
    if (!client_) return true;
    if (lost()) {
        // libjack cancels its threads when the client closes: none may be inside our code.
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!reported_.load(std::memory_order_acquire) ||
               busy_.load(std::memory_order_seq_cst)) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    } else {
        jack_deactivate(client_);
    }
    jack_client_close(std::exchange(client_, nullptr));
    return true;
}

}  // namespace support::jack
