#pragma once
// The one process-wide worker pool. Every parallel loop of the library goes through the
// functions below; nothing else touches the threading library. Results are gathered by index,
// so they never depend on the number of threads or on scheduling. Every loop is isolated: a thread
// waiting for a loop's tasks runs only tasks of that loop meanwhile, never another task of a loop
// it is already inside of (whose locks or scratch its unfinished task holds). So a task may run
// pool loops itself, hold locks around them, and call back into code that does.
// A process forked after the pool was started has none (its workers stay behind in the parent):
// there every loop runs on the calling thread, and the count reads 1 (see core/fork.hpp).
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <tuple>
#include <vector>

namespace quorvel::pool {

// Builds the pool with n threads (0: the default count) unless it exists already (or the process
// is a child forked after its parent's pool was started). Returns true only when this call built it.
bool set_threads(std::size_t n);

// The pool's thread count; builds the pool with the default count when it does not exist yet.
// 1 in a child forked after its parent's pool was started.
std::size_t current_threads();

// Default thread count: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS (positive integers only),
// then the number of logical CPUs available to the process, else 1.
std::size_t default_threads();

// Runs body(i) for every i in [0, n) on the pool. Exceptions thrown by a task propagate to the
// caller (the first one wins); the loop is not interrupted on other threads.
void for_each_index(std::size_t n, const std::function<void(std::size_t)>& body);

// Runs body(begin, end) over disjoint blocks covering [0, n), so a task can set up scratch once
// and reuse it for every index of its block. Blocks vary with scheduling: per-index results
// must not depend on which block an index falls in.
void for_each_block(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body);

namespace detail {
// One value per thread, kept by the threading library; PerThread below gives it a type.
class PerThreadStore {
public:
    explicit PerThreadStore(std::function<std::shared_ptr<void>()> make);
    ~PerThreadStore();
    PerThreadStore(const PerThreadStore&) = delete;
    PerThreadStore& operator=(const PerThreadStore&) = delete;
    void* local();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
}  // namespace detail

// Scratch kept per thread for the loops of one call: local() is the calling thread's own T, made
// by make() on that thread when it first asks and kept, loop after loop, until this object dies.
// It is keyed by the thread itself, so it holds for any thread the pool lets run a task (callers
// from outside included, however many), and a task may use it from start to end without locks.
template <class T>
class PerThread {
public:
    template <class Make>
    explicit PerThread(Make make)
        : store_([make = std::move(make)]() -> std::shared_ptr<void> { return std::make_shared<T>(make()); }) {}
    T& local() { return *static_cast<T*>(store_.local()); }

private:
    detail::PerThreadStore store_;
};

// Parallel map over [0, n): out[i] = fn(i), collected in index order.
template <class T, class F>
std::vector<T> map(std::size_t n, F&& fn) {
    std::vector<T> out(n);
    for_each_index(n, [&](std::size_t i) { out[i] = fn(i); });
    return out;
}

// Parallel loop over equal mutable chunks of several buffers: chunk c of every buffer is
// [c*len_k, (c+1)*len_k) with len_k = chunk_lens[k]; body(c, spans...) gets one span per buffer.
// Buffers must hold n_chunks * their chunk length values.
template <class F, class... T>
void chunks(std::size_t n_chunks, F&& body, std::pair<std::span<T>, std::size_t>... buffers) {
    for_each_index(n_chunks, [&](std::size_t c) {
        body(c, buffers.first.subspan(c * buffers.second, buffers.second)...);
    });
}

}  // namespace quorvel::pool
