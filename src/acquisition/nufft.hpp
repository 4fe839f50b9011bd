#pragma once
// One-dimensional type-1 non-uniform FFT on a circle of period n:
//     F(k) ~ sum_s a_s exp(+2 pi i k x_s / n),  k = k0 .. k0+m-1,
// by spreading with an exponential-of-semicircle kernel onto a 2x oversampled grid, one FFT of
// length 2n and a per-frequency deconvolution. A plan serves many runs; every run transforms
// several channels against the same positions, sharing the kernel weights of each sample.
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/fft.hpp"

namespace quorvel::nufft {

// One input channel: real and imaginary parts, at least as many values as positions.
struct ChannelIn {
    std::span<const double> re;
    std::span<const double> im;
};

// One output channel: exactly m values each after a run.
struct ChannelOut {
    std::vector<double> re;
    std::vector<double> im;
};

class Nufft1 {
public:
    // Plans n (period, >= 1), band k0 .. k0+m-1 inside the coarse Nyquist band, relative tolerance
    // tol. Throws InvalidInput "output band must sit inside the coarse Nyquist band" otherwise.
    // A tolerance that is zero, negative or NaN takes the widest kernel.
    Nufft1(std::size_t n, std::ptrdiff_t k0, std::size_t m, double tol);

    // Transforms every channel of inputs into the matching entry of outputs (same count).
    void run(std::span<const double> positions, std::span<const ChannelIn> inputs, std::span<ChannelOut> outputs);

    std::size_t grid_len() const { return grid_len_; }
    std::size_t width() const { return width_; }
    double beta() const { return beta_; }
    std::ptrdiff_t k0() const { return k0_; }
    std::size_t m() const { return m_; }
    std::span<const double> corr() const { return corr_; }

private:
    std::size_t grid_len_;
    std::size_t width_;
    double beta_;
    std::ptrdiff_t k0_;
    std::size_t m_;
    std::shared_ptr<const fft::Plan> fft_;
    std::vector<double> corr_;
    std::vector<double> kernel_;
    std::vector<std::vector<C>> grids_;
};

}  // namespace quorvel::nufft
