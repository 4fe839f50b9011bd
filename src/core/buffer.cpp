#include "core/buffer.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quorvel {

#if defined(__linux__)
namespace {

// madvise over the whole pages of `page` bytes inside [p, p + bytes): never past the block.
void advise_whole_pages(void* p, std::size_t bytes, std::uintptr_t page, int advice) noexcept {
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}

}  // namespace
#endif

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    // Smaller blocks come from the heap's shared pages; advice on them would reach neighbours.
    if (bytes < 4 * kHuge) return;
    advise_whole_pages(p, bytes, kHuge, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

void release_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
    advise_whole_pages(p, bytes, static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE)), MADV_DONTNEED);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace quorvel
