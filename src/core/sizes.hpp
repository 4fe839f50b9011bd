#pragma once
// Products of sizes that come from user input (grid dimensions, volume counts, coil counts).
// They are formed here so that an overflow is reported instead of wrapping into a small, wrong
// allocation or a length check that passes by accident.
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>

#include <unistd.h>

#include "core/error.hpp"

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

// Refuses `count` items of `item_bytes` bytes each (a product of sizes) when they exceed this
// machine's physical memory, before anything is allocated: such a request could only fail, and
// trying would first exhaust the machine. "{name}: {count} {noun} cannot be held in memory".
inline void check_fits_memory(const std::string& name, std::size_t count, std::initializer_list<std::size_t> item_bytes,
                              const char* noun = "values") {
    std::size_t bytes = count;
    bool overflow = false;
    for (std::size_t f : item_bytes) {
        if (f == 0) return;  // nothing to hold, however large the other factors
        overflow = __builtin_mul_overflow(bytes, f, &bytes) || overflow;
    }
    if (overflow || bytes > physical_memory())
        throw InvalidInput(name + ": " + std::to_string(count) + " " + noun + " cannot be held in memory");
}

}  // namespace quorvel
