// support::Box — an owning pointer with value semantics, for recursive value types such as a
// pattern tree, whose children must be copied and compared by value.
//
// Any thread; no sharing. A default-made Box is empty until emplace(); copies are deep;
// equality compares the pointees (two empty boxes are equal).
#pragma once

#include <memory>
#include <utility>

namespace support {

template <class T>
class Box {
public:
    Box() = default;
    explicit Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
    Box(const Box& other) : ptr_(other.ptr_ ? std::make_unique<T>(*other.ptr_) : nullptr) {}
    Box(Box&&) noexcept = default;
    Box& operator=(const Box& other) {
        if (this != &other) ptr_ = other.ptr_ ? std::make_unique<T>(*other.ptr_) : nullptr;
        return *this;
    }
    Box& operator=(Box&&) noexcept = default;

    T& emplace() { return *(ptr_ = std::make_unique<T>()); }
    bool has_value() const { return ptr_ != nullptr; }

    T& operator*() { return *ptr_; }
    const T& operator*() const { return *ptr_; }
    T* operator->() { return ptr_.get(); }
    const T* operator->() const { return ptr_.get(); }

    friend bool operator==(const Box& a, const Box& b) {
        if (!a.ptr_ || !b.ptr_) return a.ptr_ == b.ptr_;
        return *a.ptr_ == *b.ptr_;
    }

private:
    std::unique_ptr<T> ptr_;
};

}  // namespace support
