#pragma once
// Complex double-precision FFTs of any length, unnormalised, in place.
// Direction follows the usual convention: Forward uses exp(-2*pi*i*j*k/n), Inverse exp(+...).
// Plans are built once per (length, direction) and cached for the whole process; planning is
// serialised (the planner is not thread-safe) while executing a plan is safe from any thread.
#include <cstddef>
#include <memory>
#include <span>

#include "core/complex.hpp"

namespace quorvel::fft {

enum class Direction { Forward, Inverse };

class Plan {
public:
    // Transforms data (exactly len() values) in place; needs no scratch buffer.
    void execute(std::span<C> data) const;
    std::size_t len() const { return n_; }
    Direction direction() const { return dir_; }

    Plan(std::size_t n, Direction dir, void* handle) : n_(n), dir_(dir), handle_(handle) {}

private:
    std::size_t n_;
    Direction dir_;
    void* handle_;  // fftw_plan, owned by the process-wide cache
};

// The cached plan for (n, dir); n may be any length >= 1.
std::shared_ptr<const Plan> plan(std::size_t n, Direction dir);

}  // namespace quorvel::fft
