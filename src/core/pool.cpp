#include "core/pool.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>

namespace quorvel::pool {
namespace {

std::mutex g_build_mutex;
// The arena and the global cap live for the whole process: the pool is never torn down (worker
// threads may still be finishing when static destructors run).
std::atomic<tbb::task_arena*> g_arena{nullptr};
// Threads inside build() or about to take its mutex, and whether TBB has been put to work: a
// child forked meanwhile, or after, cannot trust the build mutex nor anything of TBB.
std::atomic<std::size_t> g_building{0};
std::atomic<bool> g_tbb_used{false};
// Set in a child forked after the pool was started: TBB's workers do not exist there, and its
// internal locks may have been held by them at the fork, so the child never touches TBB again
// and runs every loop on the calling thread. Results gather by index, so they are the same.
std::atomic<bool> g_serial{false};
std::atomic<tbb::global_control*> g_cap{nullptr};  // held so leak checkers see it is kept on purpose
// The count the pool was built with, stored before the arena. Not the arena's max_concurrency(),
// which counts one more while TBB lends a one-thread arena a worker for callers that found no
// free slot.
std::atomic<std::size_t> g_threads{0};

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

// Address space a new thread may reserve besides its stack: glibc gives a thread that
// allocates a malloc arena of its own, reserving 64 MiB (on 64-bit), and workers starting one
// after another may do so before the last of them has its stack.
constexpr std::size_t kThreadReserve = std::size_t{64} << 20;

// How many of `count` more threads with stacks of `stack` bytes the process can hold at once:
// they are created until one fails, all kept alive together, then released. TBB ends the
// process when it cannot create a worker, so its workers are only asked for once the process
// has shown it can hold them with room to spare.
std::size_t threads_held(std::size_t count, std::size_t stack) {
    if (count == 0) return 0;
    struct Gate {
        std::mutex m;
        std::condition_variable cv;
        bool open = false;
    } gate;
    auto wait = [](void* g) -> void* {
        auto* gt = static_cast<Gate*>(g);
        std::unique_lock lock(gt->m);
        gt->cv.wait(lock, [gt] { return gt->open; });
        return nullptr;
    };
    std::vector<pthread_t> made;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return 0;
    if (pthread_attr_setstacksize(&attr, stack + kThreadReserve) == 0) {
        for (std::size_t i = 0; i < count; ++i) {
            // Room for a handle is made before its thread (nothing may throw while threads wait
            // at the gate), and only as threads are made: a count far beyond what the process
            // can hold must not be reserved up front.
            if (made.size() == made.capacity()) {
                try {
                    made.reserve(std::min(count, std::max<std::size_t>(16, 2 * made.capacity())));
                } catch (const std::bad_alloc&) {
                    break;
                }
            }
            pthread_t t;
            if (pthread_create(&t, &attr, +wait, &gate) != 0) break;
            made.push_back(t);
        }
    }
    pthread_attr_destroy(&attr);
    {
        std::lock_guard lock(gate.m);
        gate.open = true;
    }
    gate.cv.notify_all();
    for (pthread_t t : made) pthread_join(t, nullptr);
    return made.size();
}

// Runs one task on each of the arena's n threads at the same time, so every worker has started
// before the first real parallel call (TBB starts them lazily).
void start_workers(tbb::task_arena& arena, std::size_t n) {
    std::mutex m;
    std::condition_variable cv;
    std::size_t arrived = 0;
    // Only a pool library that never hands over all its workers would need the limit.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, n, 1),
            [&](const tbb::blocked_range<std::size_t>&) {
                std::unique_lock lock(m);
                ++arrived;
                cv.notify_all();
                // Each thread blocks here until all have arrived, so no thread runs two tasks.
                cv.wait_until(lock, limit, [&] { return arrived >= n; });
            },
            tbb::simple_partitioner());
    });
}

// Runs in the child only, while it has a single thread. The inherited arena is left as it is
// (leaked): destroying it would wait for workers that are gone. The parent keeps its pool.
void forked_child() noexcept {
    if (g_tbb_used.load(std::memory_order_relaxed) || g_building.load(std::memory_order_relaxed) != 0)
        g_serial.store(true, std::memory_order_relaxed);
}

[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, forked_child);

bool serial() { return g_serial.load(std::memory_order_relaxed); }

// Counted from before the build mutex is asked for until after it is let go: a child forked
// with the count at zero inherits that mutex free.
class Building {
public:
    Building() { g_building.fetch_add(1); }
    ~Building() { g_building.fetch_sub(1); }
    Building(const Building&) = delete;
    Building& operator=(const Building&) = delete;
};

// Builds the arena under the lock; returns whether this call built it. With fall_back a count
// the process cannot hold is halved until it can (down to one thread: serial loops); without,
// the build fails.
bool build(std::size_t n, bool fall_back) {
    Building building;
    std::lock_guard lock(g_build_mutex);
    if (g_arena.load(std::memory_order_acquire) != nullptr) return false;
    if (n == 0) n = default_threads();
    if (n > kMaxThreads) return false;
    const std::size_t stack = tbb::global_control::active_value(tbb::global_control::thread_stack_size);
    for (std::size_t held; (held = threads_held(n - 1, stack)) < n - 1;) {
        if (!fall_back) return false;
        n = std::min(n / 2, held + 1);
    }
    g_tbb_used.store(true);
    // TBB caps every arena at the process's allowed parallelism; raise the cap so a count
    // above the CPU count is honoured as asked.
    g_cap.store(new tbb::global_control(tbb::global_control::max_allowed_parallelism, n));
    auto* arena = new tbb::task_arena(static_cast<int>(n), 1);
    arena->initialize();
    // Another user of TBB in the process may hold the cap lower; TBB then gives fewer workers.
    const auto cap = tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
    start_workers(*arena, std::min(n, cap));
    g_threads.store(n, std::memory_order_relaxed);
    g_arena.store(arena, std::memory_order_release);
    return true;
}

tbb::task_arena& arena() {
    tbb::task_arena* a = g_arena.load(std::memory_order_acquire);
    if (a == nullptr) {
        build(0, true);
        a = g_arena.load(std::memory_order_acquire);
    }
    return *a;
}

// Runs a loop on the pool, isolated: a thread that waits for its tasks runs only tasks of this
// loop meanwhile. Otherwise a task that waits for a nested loop (one that holds a lock around a
// loop of its own, say) could be handed another task of an outer loop, which may then want the
// lock the waiting task holds, on the same thread: a deadlock.
template <class F>
void run(F&& loop) {
    arena().execute([&] { tbb::this_task_arena::isolate(loop); });
}

}  // namespace

std::size_t default_threads() {
    if (std::size_t n = positive_env("RAYON_NUM_THREADS")) return n;
    if (std::size_t n = positive_env("RAYON_RS_NUM_CPUS")) return n;
    return logical_cpus();
}

bool set_threads(std::size_t n) {
    if (serial()) return false;
    try {
        return build(n, false);
    } catch (...) {
        return false;
    }
}

std::size_t current_threads() {
    if (serial()) return 1;
    arena();
    return g_threads.load(std::memory_order_relaxed);
}

namespace detail {

// Without a pool (a forked child's serial loops) only the thread that made the store runs the
// loops it serves, so one value is all it needs, and TBB is never touched.
struct PerThreadStore::Impl {
    std::function<std::shared_ptr<void>()> make;
    std::optional<tbb::enumerable_thread_specific<std::shared_ptr<void>>> values;
    std::shared_ptr<void> single;
};

PerThreadStore::PerThreadStore(std::function<std::shared_ptr<void>()> make)
    : impl_(std::make_unique<Impl>(Impl{std::move(make), {}, {}})) {
    if (!serial()) {
        g_tbb_used.store(true);
        impl_->values.emplace();
    }
}

PerThreadStore::~PerThreadStore() = default;

void* PerThreadStore::local() {
    std::shared_ptr<void>& v = impl_->values ? impl_->values->local() : impl_->single;
    if (!v) v = impl_->make();
    return v.get();
}

}  // namespace detail

void for_each_index(std::size_t n, const std::function<void(std::size_t)>& body) {
    if (n == 0) return;
    if (serial()) {
        for (std::size_t i = 0; i < n; ++i) body(i);
        return;
    }
    run([&] { tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) { body(i); }); });
}

void for_each_block(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
    if (n == 0) return;
    if (serial()) {
        body(0, n);
        return;
    }
    run([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                          [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    });
}

}  // namespace quorvel::pool
