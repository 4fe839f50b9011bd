#pragma once
// The clean signal split by tissue compartment: one 4-D interleaved image per compartment
// (value of volume g at voxel v at v*ngrad + g) and its T2. The stages after the signal stage
// change it in place, so the Python object keeps it behind one lock (Locked below).
#include <array>
#include <cstddef>
#include <exception>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/buffer.hpp"
#include "core/fork.hpp"

namespace quorvel::compartments {

// One compartment image. Sized without a value it is uninitialised: its producer writes every
// value (zeros included) on the worker pool.
using Image = UninitVector<float>;

struct Compartments {
    std::vector<Image> images;          // nvox*ngrad each; signal stages: fibre, GM, CSF
    std::vector<float> t2;              // ms, one per image
    std::array<std::size_t, 3> dims{};  // (nx, ny, nz)
    std::size_t ngrad = 0;              // number of volumes

    std::size_t nvox() const { return dims[0] * dims[1] * dims[2]; }

    // A new value holding only the listed z slices, in list order (each index below nz).
    Compartments select_slices(std::span<const std::size_t> slices) const;
    // The float32 sum of every image (as long as the first image; empty without images).
    std::vector<float> mixed() const;
    // Scales image c (c < 3) by s0[c] unless the factor is within float32 epsilon of 1.
    void apply_s0(const std::array<float, 3>& s0);
};

// Why a value's lock refuses to hand it out (the binding raises RuntimeError).
struct Unusable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Raised when a value is used after a holder stopped with an exception while changing it.
struct Poisoned : Unusable {
    Poisoned() : Unusable("Compartments mutex poisoned") {}
};

// Raised in a forked child for a value that a thread of the parent held at the fork: that thread
// does not exist in the child, so the lock is never let go and the value may be half-changed.
struct HeldAtFork : Unusable {
    HeldAtFork()
        : Unusable(
              "Compartments object was in use by another thread when this process was forked; "
              "it cannot be used in this process") {}
};

// A Compartments value behind one lock. A holder that has started to change the value and
// unwinds with an exception leaves it poisoned: the half-changed images are never read again.
// A holder that fails before it starts (a refused argument, an allocation) leaves it usable.
class Locked {
public:
    explicit Locked(Compartments value) : value_(std::move(value)) {}

    class Guard {
    public:
        // Takes the lock; when a thread of this process holds it, wait(lock) is called to block
        // on it (the binding releases the interpreter lock around the wait). Throws Poisoned,
        // lock released, and HeldAtFork, lock not taken.
        template <class Wait>
        Guard(Locked& owner, bool mutating, Wait&& wait)
            : owner_(owner), mutating_(mutating), unwinding_(std::uncaught_exceptions()) {
            using Taken = fork::GenerationLock::Taken;
            const Taken first = owner_.lock_.try_lock();
            bool taken = first == Taken::yes;
            if (first == Taken::busy) wait([&] { taken = owner_.lock_.lock(); });
            if (!taken) throw HeldAtFork();
            if (owner_.poisoned_) {
                owner_.lock_.unlock();
                throw Poisoned();
            }
        }
        ~Guard() {
            if (writing_ && std::uncaught_exceptions() > unwinding_) owner_.poisoned_ = true;
            owner_.lock_.unlock();
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

        // For reading, and for the checks and preparation before a change.
        Compartments& value() { return owner_.value_; }
        // For changing: from the first call on, an exception that unwinds this guard poisons
        // the value. Only a mutating guard may change it.
        Compartments& write() {
            QV_ASSERT(mutating_, "Compartments changed through a reading guard");
            writing_ = true;
            return owner_.value_;
        }

    private:
        Locked& owner_;
        bool mutating_;
        bool writing_ = false;
        int unwinding_;
    };

private:
    fork::GenerationLock lock_;
    bool poisoned_ = false;  // guarded by lock_
    Compartments value_;
};

}  // namespace quorvel::compartments
