#include "core/pool.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <thread>

#include <sched.h>

namespace quorvel::pool {
namespace {

std::mutex g_build_mutex;
// The arena and the global cap live for the whole process: the pool is never torn down (worker
// threads may still be finishing when static destructors run).
std::atomic<tbb::task_arena*> g_arena{nullptr};
std::atomic<tbb::global_control*> g_cap{nullptr};  // held so leak checkers see it is kept on purpose

// A thread count the pool can be built with: TBB takes an int.
constexpr std::size_t kMaxThreads = static_cast<std::size_t>(std::numeric_limits<int>::max());

// The value of an environment variable read as a positive decimal integer (an optional leading
// '+', digits only, no blanks), else 0. A count the pool could never hold also gives 0.
std::size_t positive_env(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr) return 0;
    if (*v == '+') ++v;
    if (*v == '\0') return 0;
    std::size_t n = 0;
    for (; *v != '\0'; ++v) {
        if (*v < '0' || *v > '9') return 0;
        n = n * 10 + static_cast<std::size_t>(*v - '0');
        if (n > kMaxThreads) return 0;
    }
    return n;
}

std::size_t logical_cpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

// Builds the arena under the lock; returns whether this call built it.
bool build(std::size_t n) {
    std::lock_guard lock(g_build_mutex);
    if (g_arena.load(std::memory_order_acquire) != nullptr) return false;
    if (n == 0) n = default_threads();
    if (n > kMaxThreads) return false;
    // TBB caps every arena at the process's allowed parallelism; raise the cap so a count
    // above the CPU count is honoured as asked.
    g_cap.store(new tbb::global_control(tbb::global_control::max_allowed_parallelism, n));
    auto* arena = new tbb::task_arena(static_cast<int>(n), 1);
    arena->initialize();
    g_arena.store(arena, std::memory_order_release);
    return true;
}

tbb::task_arena& arena() {
    tbb::task_arena* a = g_arena.load(std::memory_order_acquire);
    if (a == nullptr) {
        build(0);
        a = g_arena.load(std::memory_order_acquire);
    }
    return *a;
}

}  // namespace

std::size_t default_threads() {
    if (std::size_t n = positive_env("RAYON_NUM_THREADS")) return n;
    if (std::size_t n = positive_env("RAYON_RS_NUM_CPUS")) return n;
    return logical_cpus();
}

bool set_threads(std::size_t n) {
    try {
        return build(n);
    } catch (...) {
        return false;
    }
}

std::size_t current_threads() { return static_cast<std::size_t>(arena().max_concurrency()); }

void for_each_index(std::size_t n, const std::function<void(std::size_t)>& body) {
    if (n == 0) return;
    arena().execute([&] {
        tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) { body(i); });
    });
}

void for_each_index_in_slot(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
    if (n == 0) return;
    arena().execute([&] {
        tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) {
            body(i, static_cast<std::size_t>(tbb::this_task_arena::current_thread_index()));
        });
    });
}

void for_each_block(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
    if (n == 0) return;
    arena().execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                          [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    });
}

}  // namespace quorvel::pool
