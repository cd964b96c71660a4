// support::jack — a libjack client whose server may go away at any moment (the MIDI sink, the
// audio backend and MIDI input each own one).
//
// libjack reports a lost server on one of its own threads and cancels its threads
// asynchronously when a client is closed. So the shutdown callback only stores flags and makes
// one write(2) of a line formatted at open (nothing else: no stdio, allocation, thread or JACK
// call), and the dead client is closed once, by its owner, after libjack's threads have left
// every callback of ours.
//
// Once one client of the process has lost its server, libjack's next jack_client_open closes
// and frees every remaining client of the process behind their owners' backs: from then on
// `open` refuses to open any client (ServerLost) until the process restarts.
//
// Contract:
// - `open` and `close` (and dropping the client) run on the owner's thread, never on a JACK
//   thread. `lost`, `reason` and `server_lost` may be read from any thread.
// - A process callback begins with a `Cycle` on its client and does nothing when the cycle is
//   refused (the server is gone): the owner then knows when no callback of ours runs.
// - libjack's printers are silenced process-wide by the first `open`.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

namespace support::jack {

// Why a client could not be opened. Only NoServer lets a caller turn to another audio system:
// a server that answers and refuses, or one this process has lost, is the user's JACK.
struct OpenError {
    enum class Kind { NoServer, Refused, ServerLost };
    Kind kind = Kind::NoServer;
    std::string text;
};

// The error of a refused open, from libjack's status bits in JACK's own words.
OpenError open_error(jack_status_t status);

// Whether a client of this process has lost its server (no client is opened again).
bool server_lost();

class Client {
public:
    // Opens `name` on the server JACK_DEFAULT_SERVER names without starting one. `lost_line`
    // (a whole line, or empty for none) goes to stderr when the server goes away.
    static std::expected<std::unique_ptr<Client>, OpenError> open(const std::string& name,
                                                                  std::string lost_line = {});
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    // Closes as `close` does. Owners whose close() failed leak the client instead of dropping
    // it: libjack's threads may still hold its address.
    ~Client();

    jack_client_t* get() const { return client_; }
    bool lost() const { return lost_.load(std::memory_order_acquire); }
    // The server's own words on a loss (may be empty); valid once lost() is true.
    const char* reason() const { return reason_; }

    // Connects port `source` to port `destination` (full names) once the client is active.
    // The server shows a new connection to its clients only in a cycle after the request, and a
    // loaded one may fail a request its graph has not caught up with; in a self-connect mode it
    // refuses requests, or ignores them and reports success. So the connection is looked up,
    // and asked for again after each of our process cycles, for up to 16 cycles or 1 s: none
    // when it is in place, else a text saying which one is missing, why, and that the user is
    // to make it.
    std::optional<std::string> connect(const std::string& source, const std::string& destination);

    // Deactivates and closes the client once. After a loss it first waits (up to `wait`) until
    // the shutdown callback and every Cycle are over; false when they were not, and the client
    // stays open: then whatever its callbacks use must stay alive too.
    bool close(std::chrono::milliseconds wait = std::chrono::milliseconds(2000));

    // Marks one process callback as running; false (do nothing) once the server is gone.
    class Cycle {
    public:
        explicit Cycle(Client& c) : c_(c) {
            c_.busy_.store(true, std::memory_order_seq_cst);
            live_ = !c_.lost_.load(std::memory_order_seq_cst);
        }
        ~Cycle() {
            c_.cycles_.fetch_add(1, std::memory_order_release);
            c_.busy_.store(false, std::memory_order_release);
        }
        Cycle(const Cycle&) = delete;
        Cycle& operator=(const Cycle&) = delete;
        explicit operator bool() const { return live_; }

    private:
        Client& c_;
        bool live_;
    };

    // libjack's shutdown callback; it may come more than once (tests call it directly).
    static void on_shutdown(jack_status_t, const char* reason, void* self);

private:
    Client() = default;

    jack_client_t* client_ = nullptr;
    std::string lost_line_;
    std::atomic<bool> entered_{false};  // the shutdown callback runs once
    std::atomic<bool> lost_{false};
    std::atomic<bool> reported_{false};  // the callback is past its last step
    std::atomic<bool> busy_{false};      // a Cycle is open
    std::atomic<std::uint64_t> cycles_{0};  // Cycles ended
    char reason_[256] = {};
};

}  // namespace support::jack
