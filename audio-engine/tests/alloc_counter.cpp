// Counts the heap use of one thread while a test asks for it: the global operator new/delete
// forward to malloc/free, and malloc, calloc, realloc and free are wrapped around glibc's own
// (under a sanitizer, which owns the malloc family, only operator new/delete are counted).
#include <atomic>
#include <cstdlib>
#include <new>

#include "test_nodes.hpp"

namespace {
thread_local bool t_counting = false;
std::atomic<std::size_t> g_allocations{0};
std::atomic<std::size_t> g_releases{0};

void note(std::atomic<std::size_t>& n) {
    if (t_counting) n.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VORLA_HOOK_MALLOC 1
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
void* malloc(std::size_t n) noexcept {
    note(g_allocations);
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) noexcept {
    note(g_allocations);
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) noexcept {
    note(g_allocations);
    if (p) note(g_releases);
    return __libc_realloc(p, n);
}
void free(void* p) noexcept {
    if (p) note(g_releases);
    __libc_free(p);
}
}
#else
#define VORLA_HOOK_MALLOC 0
#endif

namespace {
void* allocate(std::size_t size, std::size_t align) noexcept {
    if (size == 0) size = 1;
    if (align <= alignof(std::max_align_t)) {
        if (!VORLA_HOOK_MALLOC) note(g_allocations);
        return std::malloc(size);
    }
    note(g_allocations);
    return std::aligned_alloc(align, (size + align - 1) / align * align);
}
// Out of line so the compiler, seeing through inlined deletes, does not flag free() on memory
// from operator new: both sides are malloc underneath.
[[gnu::noinline]] void release(void* p) noexcept {
    if (!VORLA_HOOK_MALLOC && p) note(g_releases);
    std::free(p);
}
void* checked(void* p) {
    if (!p) throw std::bad_alloc();
    return p;
}
std::size_t al(std::align_val_t a) {
    return static_cast<std::size_t>(a);
}
}  // namespace

// Every form, the nothrow ones too: a sanitizer runtime's own would not pair with ours.
void* operator new(std::size_t n) { return checked(allocate(n, 0)); }
void* operator new[](std::size_t n) { return checked(allocate(n, 0)); }
void* operator new(std::size_t n, std::align_val_t a) { return checked(allocate(n, al(a))); }
void* operator new[](std::size_t n, std::align_val_t a) { return checked(allocate(n, al(a))); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, al(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, al(a));
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }

namespace test_nodes {

HeapUse heap_use(const std::function<void()>& f) {
    g_allocations.store(0);
    g_releases.store(0);
    t_counting = true;
    f();
    t_counting = false;
    return {g_allocations.load(), g_releases.load()};
}

}  // namespace test_nodes
