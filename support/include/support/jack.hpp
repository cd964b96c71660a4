// support::jack — a libjack client whose server may go away at any moment (the MIDI sink, the
// audio backend and MIDI input each own one).
//
// libjack reports a lost server on one of its own threads and cancels its threads
// asynchronously when a client is closed. So the shutdown callback only stores flags and makes
// one write(2) of a line formatted at open (nothing else: no stdio, allocation, thread or JACK
// call), and the dead client is closed once, by its owner, after libjack's threads have left
// every callback of ours.
//
// Contract:
// - `open` and `close` (and dropping the client) run on the owner's thread, never on a JACK
//   thread. `lost` and `reason` may be read from any thread.
// - A process callback begins with a `Cycle` on its client and does nothing when the cycle is
//   refused (the server is gone): the owner then knows when no callback of ours runs.
// - libjack's printers are silenced process-wide by the first `open`.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <expected>
#include <memory>
#include <string>

namespace support::jack {

// The reason a client could not be opened, from libjack's status bits.
std::string open_error(jack_status_t status);

class Client {
public:
    // Opens `name` on the server JACK_DEFAULT_SERVER names without starting one. `lost_line`
    // (a whole line, or empty for none) goes to stderr when the server goes away.
    static std::expected<std::unique_ptr<Client>, std::string> open(const std::string& name,
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
        ~Cycle() { c_.busy_.store(false, std::memory_order_release); }
        Cycle(const Cycle&) = delete;
        Cycle& operator=(const Cycle&) = delete;
        explicit operator bool() const { return live_; }

    private:
        Client& c_;
        bool live_;
    };

private:
    Client() = default;
    static void on_shutdown(jack_status_t, const char* reason, void* self);

    jack_client_t* client_ = nullptr;
    std::string lost_line_;
    std::atomic<bool> entered_{false};  // the shutdown callback runs once
    std::atomic<bool> lost_{false};
    std::atomic<bool> reported_{false};  // the callback is past its last step
    std::atomic<bool> busy_{false};      // a Cycle is open
    char reason_[256] = {};
};

}  // namespace support::jack
