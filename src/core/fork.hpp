#pragma once
// Living through fork(). A forked child has one thread, a copy of the one that called fork():
// every other thread of the parent is gone, and whatever they held at that moment (a mutex, a
// one-time initialiser, a worker pool's queues) stays held in the child for good. Python forks
// without being asked (multiprocessing's "fork" start method, ProcessPoolExecutor), so each
// module that owns process-wide state registers fork handlers (pthread_atfork) beside it.
//
// What a child gets:
//   * calls complete, with the results the parent would get; if the parent's worker pool had
//     been started, a child runs every loop on the calling thread (the pool's workers do not
//     exist there), reports current_threads() == 1 and cannot size a pool (set_threads gives
//     False); a child forked before the parent started its pool builds a pool of its own;
//   * a Compartments object that a thread of the parent was using at the fork cannot be used in
//     the child (RuntimeError): its value may be half-changed, and its holder will never let go.
#include <atomic>
#include <cstdint>

namespace quorvel::fork {

// 1 in the process that loaded the library; a forked child counts one more than its parent.
std::uint64_t generation() noexcept;

// A lock that knows the process generation of its holder, so that a child can tell a holder
// gone with the fork (a thread of an ancestor) from a thread of its own that will let go.
class GenerationLock {
public:
    enum class Taken { yes, busy, orphaned };

    // One attempt: taken, held by a thread of this process, or held by one that is gone.
    Taken try_lock() noexcept;
    // Waits while a thread of this process holds it; false, not taken, when the holder is gone.
    bool lock() noexcept;
    void unlock() noexcept;

private:
    std::atomic<std::uint64_t> holder_{0};  // 0 when free, else the holder's generation
};

}  // namespace quorvel::fork
