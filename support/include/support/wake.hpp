// support::Wake — a wait until a deadline that other threads can cut short.
//
// One thread waits (the host's main loop); any thread notifies, a realtime audio or MIDI
// thread included: `notify` never locks, allocates or waits, and enters the kernel only while
// the waiter sleeps. The waiter reads `token()` before it looks at its queues and passes it to
// `wait_until`: a notify that came after that read ends the wait at once, so nothing queued
// in between waits out the deadline.
//
// On Linux the wait is a futex wait on an absolute monotonic deadline; `set_min_timer_slack`
// makes the kernel wake the calling thread as close to its deadlines as it can. Elsewhere the
// wait sleeps until the deadline and a notify only takes effect after it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace support {

class Wake {
public:
    using Token = std::uint32_t;
    using Clock = std::chrono::steady_clock;

    Wake() = default;
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;

    Token token() const { return count_.load(std::memory_order_seq_cst); }
    void notify();
    // Returns at `deadline`, or earlier once notified after `seen` was read (or on a signal).
    void wait_until(Token seen, Clock::time_point deadline);

private:
    std::atomic<std::uint32_t> count_{0};    // raised by every notify; the futex word
    std::atomic<std::uint32_t> sleeping_{0};  // the waiter is in, or about to enter, the kernel
};

// Timer slack of the calling thread at its minimum (1 ns; Linux only). False when refused.
bool set_min_timer_slack();

}  // namespace support
