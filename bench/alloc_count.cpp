#include "bench/alloc_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<uint64_t> g_allocations{0};
// Constant-initialised, so counting needs no allocation of its own even on a
// thread's first call.
thread_local uint64_t t_allocations = 0;

void Count() {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    ++t_allocations;
}

void* Allocate(std::size_t n) {
    Count();
    if (n == 0) n = 1;
    if (void* p = std::malloc(n)) return p;
    throw std::bad_alloc();
}

void* AllocateAligned(std::size_t n, std::align_val_t al) {
    Count();
    const std::size_t a = static_cast<std::size_t>(al);
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t size = ((n == 0 ? 1 : n) + a - 1) / a * a;
    if (void* p = std::aligned_alloc(a, size)) return p;
    throw std::bad_alloc();
}

}  // namespace

namespace bench {
uint64_t Allocations() {
    return g_allocations.load(std::memory_order_relaxed);
}
uint64_t ThreadAllocations() {
    return t_allocations;
}
}  // namespace bench

void* operator new(std::size_t n) {
    return Allocate(n);
}
void* operator new[](std::size_t n) {
    return Allocate(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t n, std::align_val_t a) {
    return AllocateAligned(n, a);
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return AllocateAligned(n, a);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
