#include "nufft.hpp"

namespace quorvel::nufft {

Nufft1::Nufft1(std::size_t n, std::ptrdiff_t k0, std::size_t m, double)
    : grid_len_(2 * n), width_(2), beta_(4.6), k0_(k0), m_(m) {}

void Nufft1::run(std::span<const double>, std::span<const ChannelIn>, std::span<ChannelOut>) {}

}  // namespace quorvel::nufft
