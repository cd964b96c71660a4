// support::SpscRing — a bounded lock-free queue for exactly one producer thread and exactly one
// consumer thread (commands to the audio thread, captured audio samples from the input).
//
// The capacity is exact: a ring made for 256 holds 256 items. All storage is allocated in the
// constructor; try_push and try_pop never allocate, lock or wait, so both are safe on the audio
// thread. Payloads may be move-only. A failed push leaves the item with the caller. Items still
// queued when the ring is destroyed are destroyed with it. The ring itself is neither copyable
// nor movable; share it by reference or shared_ptr.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

namespace support {

template <class T>
class SpscRing {
    static_assert(std::is_nothrow_move_constructible_v<T>,
                  "a pop must not be able to fail half way");

public:
    explicit SpscRing(std::size_t capacity)
        : capacity_(capacity), slots_(std::make_unique<Slot[]>(capacity)) {}

    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    ~SpscRing() {
        if constexpr (!std::is_trivially_destructible_v<T>) {
            std::size_t head = head_.load(std::memory_order_relaxed);
            const std::size_t tail = tail_.load(std::memory_order_relaxed);
            while (head != tail) {
                item(slot_of(head))->~T();
                head = advance(head);
            }
        }
    }

    std::size_t capacity() const { return capacity_; }

    // Producer only. False when full; `value` is then left untouched.
    bool try_push(T&& value) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (count(cached_head_, tail) == capacity_) {
            cached_head_ = head_.load(std::memory_order_acquire);
            if (count(cached_head_, tail) == capacity_) return false;
        }
        ::new (static_cast<void*>(slots_[slot_of(tail)].bytes)) T(std::move(value));
        tail_.store(advance(tail), std::memory_order_release);
        return true;
    }

    // Producer only; for copyable payloads such as samples.
    bool try_push(const T& value) requires std::is_nothrow_copy_constructible_v<T> {
        T copy(value);
        return try_push(std::move(copy));
    }

    // Consumer only. False when empty; otherwise the oldest item is moved into `out`.
    bool try_pop(T& out) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == cached_tail_) {
            cached_tail_ = tail_.load(std::memory_order_acquire);
            if (head == cached_tail_) return false;
        }
        T* p = item(slot_of(head));
        out = std::move(*p);
        p->~T();
        head_.store(advance(head), std::memory_order_release);
        return true;
    }

    // Consumer only. The oldest item, or none when empty.
    std::optional<T> try_pop() {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == cached_tail_) {
            cached_tail_ = tail_.load(std::memory_order_acquire);
            if (head == cached_tail_) return std::nullopt;
        }
        T* p = item(slot_of(head));
        std::optional<T> result(std::move(*p));
        p->~T();
        head_.store(advance(head), std::memory_order_release);
        return result;
    }

    // Exact only when the other side is idle; a snapshot otherwise.
    std::size_t size() const {
        const std::size_t head = head_.load(std::memory_order_acquire);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        // The two loads are not one snapshot; keep the answer within the capacity.
        return std::min(count(head, tail), capacity_);
    }
    bool empty() const { return size() == 0; }

private:
    // 64 bytes rather than std::hardware_destructive_interference_size, whose value g++ warns
    // may differ between builds.
    static constexpr std::size_t kCacheLine = 64;

    struct Slot {
        alignas(T) unsigned char bytes[sizeof(T)];
    };

    // Positions run over [0, 2 * capacity) so that full (distance == capacity) and empty
    // (distance 0) differ without wasting a slot or rounding the capacity.
    std::size_t advance(std::size_t pos) const {
        ++pos;
        return pos == 2 * capacity_ ? 0 : pos;
    }
    std::size_t slot_of(std::size_t pos) const { return pos < capacity_ ? pos : pos - capacity_; }
    std::size_t count(std::size_t head, std::size_t tail) const {
        return tail >= head ? tail - head : tail + 2 * capacity_ - head;
    }
    T* item(std::size_t slot) { return std::launder(reinterpret_cast<T*>(slots_[slot].bytes)); }

    const std::size_t capacity_;
    const std::unique_ptr<Slot[]> slots_;

    // Consumer's line: its position and its last view of the producer's.
    alignas(kCacheLine) std::atomic<std::size_t> head_{0};
    std::size_t cached_tail_ = 0;
    // Producer's line; the class alignment pads it to its end.
    alignas(kCacheLine) std::atomic<std::size_t> tail_{0};
    std::size_t cached_head_ = 0;
};

}  // namespace support
