#include "support/wake.hpp"

#include <climits>
#include <thread>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#endif

namespace support {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

#if defined(__linux__)

namespace {

std::uint32_t* word(std::atomic<std::uint32_t>& a) {
    return reinterpret_cast<std::uint32_t*>(&a);
}

}  // namespace

void Wake::notify() {
    count_.fetch_add(1, std::memory_order_seq_cst);
    // Either the waiter's kernel check sees the new count, or this sees it sleeping.
    if (sleeping_.load(std::memory_order_seq_cst))
        ::syscall(SYS_futex, word(count_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void Wake::wait_until(Token seen, Clock::time_point deadline) {
    // steady_clock is CLOCK_MONOTONIC, the clock of FUTEX_WAIT_BITSET's absolute time-out.
    const auto since_epoch = deadline.time_since_epoch();
    if (since_epoch.count() <= 0) return;
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    timespec at{};
    at.tv_sec = static_cast<time_t>(secs.count());
    at.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - secs).count());
    sleeping_.store(1, std::memory_order_seq_cst);
    while (count_.load(std::memory_order_seq_cst) == seen && Clock::now() < deadline) {
        const long r = ::syscall(SYS_futex, word(count_), FUTEX_WAIT_BITSET_PRIVATE, seen, &at,
                                 nullptr, FUTEX_BITSET_MATCH_ANY);
        if (r == 0 || errno != EINTR) break;  // woken, timed out, or the count moved on
    }
    sleeping_.store(0, std::memory_order_relaxed);
}

bool set_min_timer_slack() {
    return ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
}

#else

void Wake::notify() {
    count_.fetch_add(1, std::memory_order_seq_cst);
}

void Wake::wait_until(Token seen, Clock::time_point deadline) {
    if (count_.load(std::memory_order_seq_cst) == seen) std::this_thread::sleep_until(deadline);
}

bool set_min_timer_slack() {
    return false;
}

#endif

}  // namespace support
