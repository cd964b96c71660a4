// support::channel — blocking message channels between ordinary threads (never the audio
// thread: every operation locks and may allocate).
//
//   unbounded<T>()  first in first out, any number of senders (Sender is copyable), one
//                   receiver; a send never waits. Used from the IPC thread and the MIDI input
//                   callback to the main loop.
//   one_slot<T>()   carries exactly one answer back to the thread that asked and waits on it
//                   (the reply to an IPC request).
//
// A receiver may name a `support::Wake` that every later successful send notifies, so a thread
// that waits on several sources at once learns of a new value without polling.
//
// Disconnection: a send fails once the receiver is gone (the value is destroyed); a receive
// fails with Disconnected once every sender is gone and nothing is queued. Dropping the
// receiver destroys what is still queued, so a waiting asker whose one-slot sender travelled
// in a queued message learns at once that no answer will come.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <utility>

#include "support/wake.hpp"

namespace support::channel {

enum class RecvError {
    Empty,         // try_recv: nothing queued, senders remain
    Timeout,       // recv_for: nothing arrived in time
    Disconnected,  // nothing queued and every sender is gone
};

namespace detail {
template <class T>
struct State {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<T> queue;
    std::size_t senders = 1;
    bool receiver = true;
    std::shared_ptr<Wake> wake;
};
}  // namespace detail

template <class T>
class Sender {
public:
    explicit Sender(std::shared_ptr<detail::State<T>> state) : state_(std::move(state)) {}
    Sender(const Sender& other) : state_(other.state_) {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            ++state_->senders;
        }
    }
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Sender() {
        if (!state_) return;
        std::lock_guard lock(state_->mutex);
        if (--state_->senders == 0) state_->ready.notify_all();
    }

    // False when the receiver is gone; the value is destroyed then.
    bool send(T value) const {
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver) return false;
            state_->queue.push_back(std::move(value));
            if (state_->wake) state_->wake->notify();
        }
        state_->ready.notify_one();
        return true;
    }

private:
    std::shared_ptr<detail::State<T>> state_;
};

template <class T>
class Receiver {
public:
    explicit Receiver(std::shared_ptr<detail::State<T>> state) : state_(std::move(state)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        Receiver gone(std::move(*this));
        state_ = std::move(other.state_);
        return *this;
    }
    ~Receiver() {
        if (!state_) return;
        std::deque<T> dropped;  // destroyed after the lock is released
        std::lock_guard lock(state_->mutex);
        state_->receiver = false;
        dropped.swap(state_->queue);
    }

    // Every later send also notifies `wake`.
    void notify_on_send(std::shared_ptr<Wake> wake) {
        std::lock_guard lock(state_->mutex);
        state_->wake = std::move(wake);
    }

    std::expected<T, RecvError> try_recv() {
        std::unique_lock lock(state_->mutex);
        return take(RecvError::Empty);
    }

    template <class Rep, class Period>
    std::expected<T, RecvError> recv_for(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock lock(state_->mutex);
        state_->ready.wait_for(lock, timeout,
                               [&] { return !state_->queue.empty() || state_->senders == 0; });
        return take(RecvError::Timeout);
    }

    std::expected<T, RecvError> recv() {
        std::unique_lock lock(state_->mutex);
        state_->ready.wait(lock, [&] { return !state_->queue.empty() || state_->senders == 0; });
        return take(RecvError::Disconnected);
    }

private:
    std::expected<T, RecvError> take(RecvError none) {
        if (state_->queue.empty()) {
            return std::unexpected(state_->senders == 0 ? RecvError::Disconnected : none);
        }
        T value = std::move(state_->queue.front());
        state_->queue.pop_front();
        return value;
    }

    std::shared_ptr<detail::State<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded() {
    auto state = std::make_shared<detail::State<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

// The answering end of a one-slot channel: move-only, used once.
template <class T>
class SlotSender {
public:
    explicit SlotSender(Sender<T> sender) : sender_(std::move(sender)) {}
    SlotSender(SlotSender&&) noexcept = default;
    SlotSender& operator=(SlotSender&&) noexcept = default;

    // False when the asker stopped waiting.
    bool send(T value) && { return SlotSender(std::move(*this)).sender_.send(std::move(value)); }

private:
    Sender<T> sender_;
};

// The waiting end: receives the one answer, or learns that none will come.
template <class T>
class SlotReceiver {
public:
    explicit SlotReceiver(Receiver<T> receiver) : receiver_(std::move(receiver)) {}

    template <class Rep, class Period>
    std::expected<T, RecvError> recv_for(std::chrono::duration<Rep, Period> timeout) {
        return receiver_.recv_for(timeout);
    }

private:
    Receiver<T> receiver_;
};

template <class T>
std::pair<SlotSender<T>, SlotReceiver<T>> one_slot() {
    auto [sender, receiver] = unbounded<T>();
    return {SlotSender<T>(std::move(sender)), SlotReceiver<T>(std::move(receiver))};
}

}  // namespace support::channel
