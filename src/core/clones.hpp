#pragma once
// Function multi-versioning for hot loops: the portable build stays baseline x86-64, and the
// loader picks an AVX2 or AVX-512 version where the CPU has one. Every version performs the same
// operations per element in the same order (the build forbids contracting a*b + c), so all of
// them give the same bits.
//
// QV_CLONES lets the compiler make the versions of one body. Where the best form of a loop
// depends on the register width (how many accumulators fit), each instruction set gets a body of
// its own instead: QV_VERSIONED is 1, and QV_FOR_X86_64, QV_FOR_X86_64_V3 and QV_FOR_X86_64_V4
// mark the three definitions of one function. A build for one instruction set (QUORVEL_NO_CLONES,
// set by CMake's QUORVEL_ISA) has no versions: one definition, for kVectorDoubles.
#include <cstddef>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(QUORVEL_NO_CLONES)
#define QV_CLONES __attribute__((target_clones("default", "arch=x86-64-v3", "arch=x86-64-v4")))
#define QV_VERSIONED 1
#define QV_FOR_X86_64 __attribute__((target("default")))
#define QV_FOR_X86_64_V3 __attribute__((target("arch=x86-64-v3")))
#define QV_FOR_X86_64_V4 __attribute__((target("arch=x86-64-v4")))
#else
#define QV_CLONES
#define QV_VERSIONED 0
#endif

namespace quorvel {

// Doubles per vector register of the instruction set this translation unit is built for.
#if defined(__AVX512F__)
inline constexpr std::size_t kVectorDoubles = 8;
#elif defined(__AVX__)
inline constexpr std::size_t kVectorDoubles = 4;
#else
inline constexpr std::size_t kVectorDoubles = 2;
#endif

}  // namespace quorvel
