#pragma once
// Products of sizes that come from user input (grid dimensions, volume counts, coil counts).
// They are formed here so that an overflow is reported instead of wrapping into a small, wrong
// allocation or a length check that passes by accident.
#include <cstddef>
#include <initializer_list>
#include <optional>

namespace quorvel {

// The product of the factors, or none when a partial product overflows a size.
inline std::optional<std::size_t> checked_product(std::initializer_list<std::size_t> factors) {
    std::size_t n = 1;
    for (std::size_t f : factors)
        if (__builtin_mul_overflow(n, f, &n)) return std::nullopt;
    return n;
}

}  // namespace quorvel
