#pragma once
// Products of sizes that come from user input (grid dimensions, volume counts, coil counts).
// They are formed here so that an overflow is reported instead of wrapping into a small, wrong
// allocation or a length check that passes by accident.
#include <cstddef>
#include <initializer_list>
#include <optional>

#include <unistd.h>

namespace quorvel {

// The product of the factors, or none when a partial product overflows a size.
inline std::optional<std::size_t> checked_product(std::initializer_list<std::size_t> factors) {
    std::size_t n = 1;
    for (std::size_t f : factors)
        if (__builtin_mul_overflow(n, f, &n)) return std::nullopt;
    return n;
}

// The machine's physical memory in bytes (the largest size_t when it cannot be read): working
// sets beyond it are refused instead of exhausting the machine.
inline std::size_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return static_cast<std::size_t>(-1);
    return checked_product({static_cast<std::size_t>(pages), static_cast<std::size_t>(page)})
        .value_or(static_cast<std::size_t>(-1));
}

}  // namespace quorvel
