#include "core/fork.hpp"

#include <pthread.h>

namespace quorvel::fork {
namespace {

std::atomic<std::uint64_t> g_generation{1};

// Runs in the child only, while it has a single thread.
void count_child() noexcept { g_generation.fetch_add(1, std::memory_order_relaxed); }

// Registered when the library is loaded, before any thread of it exists.
[[maybe_unused]] const int g_registered = pthread_atfork(nullptr, nullptr, count_child);

}  // namespace

std::uint64_t generation() noexcept { return g_generation.load(std::memory_order_relaxed); }

GenerationLock::Taken GenerationLock::try_lock() noexcept {
    const std::uint64_t self = generation();
    std::uint64_t held = 0;
    if (holder_.compare_exchange_strong(held, self, std::memory_order_acquire, std::memory_order_relaxed))
        return Taken::yes;
    return held == self ? Taken::busy : Taken::orphaned;
}

bool GenerationLock::lock() noexcept {
    for (;;) {
        switch (try_lock()) {
            case Taken::yes: return true;
            case Taken::orphaned: return false;
            case Taken::busy: break;
        }
        // Wakes when the holder lets go (or at once if it already has); the next attempt decides.
        const std::uint64_t self = generation();
        holder_.wait(self, std::memory_order_relaxed);
    }
}

void GenerationLock::unlock() noexcept {
    holder_.store(0, std::memory_order_release);
    holder_.notify_all();
}

}  // namespace quorvel::fork
