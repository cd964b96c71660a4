#include "support/jack.hpp"

#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "support/log.hpp"

namespace support::jack {

namespace {

void quiet(const char*) {}

}  // namespace

std::string open_error(jack_status_t status) {
    if (status & JackServerFailed) return "no JACK server is running";
    return "JACK refused the client (status " + std::to_string(static_cast<int>(status)) + ")";
}

std::expected<std::unique_ptr<Client>, std::string> Client::open(const std::string& name,
                                                                 std::string lost_line) {
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

// On a libjack thread that may be cancelled at any instruction: flags and one write(2) only.
void Client::on_shutdown(jack_status_t, const char* reason, void* self) {
    auto* c = static_cast<Client*>(self);
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
