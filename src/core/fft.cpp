#include "core/fft.hpp"

#include <fftw3.h>

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include <pthread.h>

#include "core/error.hpp"

namespace quorvel::fft {
namespace {

std::mutex g_planner_mutex;
// A fork waits for a plan being made and comes out with the mutex free on both sides: a child
// never inherits FFTW's planner half-way through a plan, nor the mutex held by a thread it lacks.
[[maybe_unused]] const int g_fork_handlers = pthread_atfork([] { g_planner_mutex.lock(); },
                                                            [] { g_planner_mutex.unlock(); },
                                                            [] { g_planner_mutex.unlock(); });
// Plans are never destroyed: a plan handed out may be executing on another thread at exit.
std::map<std::pair<std::size_t, Direction>, std::shared_ptr<const Plan>>* g_cache =
    new std::map<std::pair<std::size_t, Direction>, std::shared_ptr<const Plan>>();

}  // namespace

void Plan::execute(std::span<C> data) const {
    QV_ASSERT(data.size() == n_, "fft: buffer length differs from the plan length");
    auto* p = reinterpret_cast<fftw_complex*>(data.data());
    fftw_execute_dft(static_cast<fftw_plan>(handle_), p, p);
}

std::shared_ptr<const Plan> plan(std::size_t n, Direction dir) {
    QV_ASSERT(n >= 1, "fft: plan length must be at least 1");
    std::lock_guard lock(g_planner_mutex);
    auto key = std::make_pair(n, dir);
    if (auto it = g_cache->find(key); it != g_cache->end()) return it->second;
    // FFTW_ESTIMATE keeps plans (and so results) identical from run to run; FFTW_UNALIGNED lets
    // the plan run on any caller buffer, whatever its alignment.
    std::vector<C> probe(n);
    auto* p = reinterpret_cast<fftw_complex*>(probe.data());
    fftw_plan handle = fftw_plan_dft_1d(static_cast<int>(n), p, p,
                                        dir == Direction::Forward ? FFTW_FORWARD : FFTW_BACKWARD,
                                        FFTW_ESTIMATE | FFTW_UNALIGNED);
    QV_ASSERT(handle != nullptr, "fft: planner failed");
    auto made = std::make_shared<const Plan>(n, dir, handle);
    g_cache->emplace(key, made);
    return made;
}

}  // namespace quorvel::fft
