// Replaces the global allocation functions of a test program so that a test can count the
// allocations made on its own thread while it asks for it (see test_nodes::count_allocations).
#include <atomic>
#include <cstdlib>
#include <new>

#include "test_nodes.hpp"

// Counting replacements of the global allocation functions: while a thread has counting on,
// every allocation it makes is counted, so a test can assert that process() allocates nothing.
namespace {
thread_local bool t_counting = false;
std::atomic<long> g_allocations{0};

// Null on failure; the throwing forms below turn that into bad_alloc as the language requires.
void* counted_alloc(std::size_t size, std::size_t align) noexcept {
    if (t_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (size == 0) size = 1;
    if (align <= alignof(std::max_align_t)) return std::malloc(size);
    return std::aligned_alloc(align, (size + align - 1) / align * align);
}

// Out of line so the compiler, seeing through inlined deletes, does not flag free() on memory
// from operator new: here both sides are malloc underneath.
[[gnu::noinline]] void release(void* p) noexcept {
    std::free(p);
}

void* checked(void* p) {
    if (!p) throw std::bad_alloc();
    return p;
}
}  // namespace

void* operator new(std::size_t size) {
    return checked(counted_alloc(size, 0));
}
void* operator new[](std::size_t size) {
    return checked(counted_alloc(size, 0));
}
void* operator new(std::size_t size, std::align_val_t align) {
    return checked(counted_alloc(size, static_cast<std::size_t>(align)));
}
void* operator new[](std::size_t size, std::align_val_t align) {
    return checked(counted_alloc(size, static_cast<std::size_t>(align)));
}
// The nothrow forms too: a sanitizer runtime supplies its own, which would not pair with ours.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return counted_alloc(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return counted_alloc(size, 0);
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return counted_alloc(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return counted_alloc(size, static_cast<std::size_t>(align));
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}

namespace test_nodes {

std::size_t count_allocations(const std::function<void()>& f) {
    g_allocations.store(0);
    t_counting = true;
    f();
    t_counting = false;
    return static_cast<std::size_t>(g_allocations.load());
}

}  // namespace test_nodes
