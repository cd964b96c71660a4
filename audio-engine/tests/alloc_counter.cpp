// Counts the heap use of one thread while a test asks for it: the malloc family is wrapped
// around glibc's own (operator new and delete end there too), or, under a sanitizer that owns
// the allocator, observed through its hooks.
#include <atomic>
#include <cstdlib>

#include "test_nodes.hpp"

namespace {
thread_local bool t_counting = false;
std::atomic<std::size_t> g_allocations{0};
std::atomic<std::size_t> g_releases{0};

void note(std::atomic<std::size_t>& n) {
    if (t_counting) n.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                              void (*)(const volatile void*));
namespace {
const int g_hooked = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, std::size_t) { note(g_allocations); },
    [](const volatile void*) { note(g_releases); });
}  // namespace
#else
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
#endif
}

test_nodes::HeapUse test_nodes::heap_use(const std::function<void()>& f) {
    g_allocations.store(0);
    g_releases.store(0);
    t_counting = true;
    f();
    t_counting = false;
    return {g_allocations.load(), g_releases.load()};
}
