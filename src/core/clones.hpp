#pragma once
// Function multi-versioning for hot loops: the portable build stays baseline x86-64, and the
// loader picks an AVX2 or AVX-512 clone where the CPU has one. Every clone performs the same
// operations per element in the same order (the build forbids contracting a*b + c), so all of
// them give the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(QUORVEL_NO_CLONES)
#define QV_CLONES __attribute__((target_clones("default", "arch=x86-64-v3", "arch=x86-64-v4")))
#else
#define QV_CLONES
#endif
