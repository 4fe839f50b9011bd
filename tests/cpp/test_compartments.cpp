#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <vector>

#include "compartments.hpp"
#include "error.hpp"
#include "motion.hpp"

using quorvel::compartments::Compartments;
using quorvel::compartments::Locked;
using quorvel::compartments::Poisoned;

namespace {

// Blocks plainly; counts how often the guard had to wait.
struct CountingWait {
    int* calls;
    template <class Lock>
    void operator()(Lock&& lock) const {
        ++*calls;
        lock();
    }
};

Locked make_locked() { return Locked(Compartments{{{1.0f, 2.0f}}, {80.0f}, {1, 1, 1}, 2}); }

bool is_poisoned(Locked& l) {
    int calls = 0;
    try {
        Locked::Guard g(l, false, CountingWait{&calls});
        return false;
    } catch (const Poisoned&) {
        return true;
    }
}

}  // namespace

TEST(CompartmentsLock, MutatingHolderThatUnwindsPoisons) {
    Locked l = make_locked();
    int calls = 0;
    EXPECT_THROW(
        {
            Locked::Guard g(l, true, CountingWait{&calls});
            g.value().images[0][0] = 5.0f;
            throw std::runtime_error("stopped half way");
        },
        std::runtime_error);
    EXPECT_TRUE(is_poisoned(l));
    // Poisoned for good, and the mutex was let go each time (no deadlock on retry).
    EXPECT_TRUE(is_poisoned(l));
    try {
        Locked::Guard g(l, true, CountingWait{&calls});
        FAIL() << "a poisoned value must not be handed out";
    } catch (const Poisoned& e) {
        EXPECT_STREQ(e.what(), "Compartments mutex poisoned");
    }
    EXPECT_EQ(calls, 0);
}

TEST(CompartmentsLock, ReadersAndCompletedOrRecoveredHoldersDoNotPoison) {
    Locked l = make_locked();
    int calls = 0;
    EXPECT_THROW(
        {
            Locked::Guard g(l, false, CountingWait{&calls});
            throw std::runtime_error("a refused read");
        },
        std::runtime_error);
    EXPECT_FALSE(is_poisoned(l));
    {
        Locked::Guard g(l, true, CountingWait{&calls});
        try {
            throw std::runtime_error("handled inside");
        } catch (const std::runtime_error&) {
        }
        g.value().t2[0] = 90.0f;
    }
    EXPECT_FALSE(is_poisoned(l));
    Locked::Guard g(l, false, CountingWait{&calls});
    EXPECT_EQ(g.value().t2[0], 90.0f);
}

TEST(CompartmentsLock, GuardTakenWhileAnotherExceptionUnwinds) {
    // A mutating guard built inside a destructor that runs during unwinding sees one exception
    // in flight from the start; finishing normally must not count it against the value.
    Locked l = make_locked();
    struct Cleanup {
        Locked& l;
        ~Cleanup() {
            int calls = 0;
            Locked::Guard g(l, true, CountingWait{&calls});
            g.value().ngrad = 7;
        }
    };
    EXPECT_THROW(
        {
            Cleanup c{l};
            throw std::runtime_error("outer");
        },
        std::runtime_error);
    EXPECT_FALSE(is_poisoned(l));
}

TEST(CompartmentsLock, WaitRunsOnlyWhenTheMutexIsBusy) {
    Locked l = make_locked();
    int calls = 0;
    { Locked::Guard g(l, false, CountingWait{&calls}); }
    EXPECT_EQ(calls, 0);

    std::atomic<bool> held{false};
    std::thread holder([&] {
        int own = 0;
        Locked::Guard g(l, true, CountingWait{&own});
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        g.value().ngrad = 3;
    });
    while (!held) std::this_thread::yield();
    {
        Locked::Guard g(l, false, CountingWait{&calls});
        EXPECT_EQ(g.value().ngrad, 3u);  // the holder finished before we got in
    }
    holder.join();
    EXPECT_EQ(calls, 1);
}

TEST(CompartmentsOps, SelectSlicesOutOfRangeIsAnInvariant) {
    Compartments c{{std::vector<float>(8, 1.0f)}, {80.0f}, {2, 2, 2}, 1};
    const std::size_t bad[] = {2};
    EXPECT_THROW(c.select_slices(bad), quorvel::Panic);
}

TEST(Trilinear, EdgesAndExactValues) {
    // 3 x 2 x 2 volume, value = x + 10 y + 100 z
    std::vector<float> vol(12);
    for (std::size_t z = 0; z < 2; ++z)
        for (std::size_t y = 0; y < 2; ++y)
            for (std::size_t x = 0; x < 3; ++x) vol[x + 3 * (y + 2 * z)] = float(x + 10 * y + 100 * z);
    const std::array<std::size_t, 3> dims{3, 2, 2};
    using quorvel::motion::trilinear;
    EXPECT_EQ(trilinear(vol, dims, {2.0, 0.0, 0.0}), 2.0f);   // last voxel of the first row
    EXPECT_EQ(trilinear(vol, dims, {2.0, 1.0, 1.0}), 112.0f); // the far corner, bounds inclusive
    EXPECT_EQ(trilinear(vol, dims, {-1e-9, 0.0, 0.0}), 0.0f);
    EXPECT_EQ(trilinear(vol, dims, {0.0, 1.0 + 1e-12, 0.0}), 0.0f);
    EXPECT_EQ(trilinear(vol, dims, {1.0, 1.0, 0.0}), 11.0f);
    EXPECT_EQ(trilinear(vol, dims, {0.5, 0.25, 0.75}), 0.5f + 2.5f + 75.0f);
    EXPECT_EQ(trilinear(vol, dims, {std::nan(""), 0.0, 0.0}), 0.0f);

    std::vector<float> pair{1.0f, 3.0f};
    EXPECT_EQ(trilinear(pair, {2, 1, 1}, {0.5, 0.0, 0.0}), 2.0f);
}

TEST(Trilinear, ZeroExtentReadsNothing) {
    std::span<const float> empty;
    for (const auto& dims : {std::array<std::size_t, 3>{0, 4, 4}, {4, 0, 4}, {4, 4, 0}})
        EXPECT_EQ(quorvel::motion::trilinear(empty, dims, {0.0, 0.0, 0.0}), 0.0f);
}
