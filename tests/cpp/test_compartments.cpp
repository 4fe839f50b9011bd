#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "signal/compartments.hpp"
#include "core/error.hpp"
#include "signal/motion.hpp"

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

bool poisoned(Locked& l) {
    int calls = 0;
    try {
        Locked::Guard g(l, false, CountingWait{&calls});
        return false;
    } catch (const Poisoned& e) {
        EXPECT_STREQ(e.what(), "Compartments mutex poisoned");
        return true;
    }
}

}  // namespace

TEST(CompartmentsLock, OnlyAHolderThatUnwindsAfterStartingToWritePoisons) {
    Locked l(Compartments{{{1.0f, 2.0f}}, {80.0f}, {1, 1, 1}, 2});
    int calls = 0;
    EXPECT_THROW({ Locked::Guard g(l, false, CountingWait{&calls}); throw std::runtime_error("refused read"); },
                 std::runtime_error);
    struct Cleanup {  // a mutating guard that lives inside another exception's unwinding
        Locked& l;
        ~Cleanup() {
            int own = 0;
            Locked::Guard g(l, true, CountingWait{&own});
            g.write();
        }
    };
    EXPECT_THROW({ Cleanup c{l}; throw std::runtime_error("outer"); }, std::runtime_error);
    EXPECT_THROW({ Locked::Guard g(l, true, CountingWait{&calls}); throw std::runtime_error("refused"); },
                 std::runtime_error);
    EXPECT_THROW({ Locked::Guard g(l, false, CountingWait{&calls}); g.write(); }, quorvel::Panic);
    EXPECT_FALSE(poisoned(l));
    EXPECT_THROW(
        {
            Locked::Guard g(l, true, CountingWait{&calls});
            g.write().t2[0] = 90.0f;
            throw std::runtime_error("half way");
        },
        std::runtime_error);
    EXPECT_TRUE(poisoned(l));
    EXPECT_TRUE(poisoned(l));  // for good, and the mutex was let go each time
    EXPECT_EQ(calls, 0);
}

TEST(Motion, LibraryStopsAndSchedule) {
    Compartments c{{quorvel::compartments::Image(8, 1.0f)}, {80.0f}, {2, 2, 2}, 1};
    const std::size_t bad[] = {2};
    EXPECT_THROW(c.select_slices(bad), quorvel::Panic);
    using Groups = std::vector<std::vector<std::size_t>>;
    EXPECT_EQ(quorvel::motion::slice_schedule(0, 0, false), (Groups{{}}));
}

TEST(Trilinear, EdgesAndExactValues) {
    std::vector<float> vol(12);  // 3 x 2 x 2, value x + 10 y + 100 z
    for (std::size_t i = 0; i < 12; ++i) vol[i] = float(i % 3 + 10 * (i / 3 % 2) + 100 * (i / 6));
    const std::array<std::size_t, 3> dims{3, 2, 2};
    using quorvel::motion::trilinear;
    EXPECT_EQ(trilinear(vol, dims, {2.0, 0.0, 0.0}), 2.0f);  // last voxel of the first row
    EXPECT_EQ(trilinear(vol, dims, {2.0, 1.0, 1.0}), 112.0f);  // bounds are inclusive
    EXPECT_EQ(trilinear(vol, dims, {-1e-9, 0.0, 0.0}), 0.0f);
    EXPECT_EQ(trilinear(vol, dims, {0.0, 1.0 + 1e-12, 0.0}), 0.0f);
    EXPECT_EQ(trilinear(vol, dims, {std::nan(""), 0.0, 0.0}), 0.0f);
    EXPECT_EQ(trilinear(vol, dims, {0.5, 0.25, 0.75}), 0.5f + 2.5f + 75.0f);
    const std::vector<float> bump{0, 0, 0, 0, 0, 0, 0, 8};
    EXPECT_EQ(trilinear(bump, {2, 2, 2}, {0.5, 0.5, 0.5}), 1.0f);  // the product of the three weights
    for (const auto& empty : {std::array<std::size_t, 3>{0, 4, 4}, {4, 0, 4}, {4, 4, 0}})
        EXPECT_EQ(trilinear({}, empty, {0.0, 0.0, 0.0}), 0.0f);  // nothing to read
}
