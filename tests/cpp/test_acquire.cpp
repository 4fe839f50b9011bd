// The acquisition's memory estimate: only the volume tasks that run at once count, and a run that
// needs exactly the memory there is fits.
#include <gtest/gtest.h>

#include <array>

#include "acquisition/acquire.hpp"

namespace ks = quorvel::kspace;

TEST(AcquisitionMemory, TasksRunningAtOnceAgainstTheMemoryToTheByte) {
    // Per task and coil four complex samples and a double per pixel; GRAPPA adds 90 complex values
    // per pair of coils.
    EXPECT_EQ(ks::acquisition_memory(1, 1, 1, false, 1, 1, 72).bytes, 72.0);
    const double per_task = 8 * 64 * 48 * 72.0 + 8 * 8 * 90 * 16.0;
    using Case = std::array<std::size_t, 3>;  // volumes, threads, tasks at once
    for (const auto& [volumes, threads, tasks] : {Case{3, 8, 3}, Case{8, 8, 8}, Case{1000000, 8, 8}, Case{0, 8, 0}}) {
        const auto with = [&](double available) {
            return ks::acquisition_memory(8, 64, 48, true, volumes, threads, static_cast<std::size_t>(available));
        };
        EXPECT_EQ(with(0).bytes, per_task * static_cast<double>(tasks)) << volumes;
        EXPECT_TRUE(with(per_task * static_cast<double>(tasks)).fits) << volumes;
        if (tasks > 0) {
            EXPECT_FALSE(with(per_task * static_cast<double>(tasks) - 1).fits) << volumes;
        }
    }
}
