// In-plane resampling of the field-map images: the isotropic output grid, the box mean and
// the spectral truncation (whose sharp band limit brings the ringing of a real acquisition).
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/error.hpp"
#include "acquisition/gre.hpp"

namespace quorvel::gre {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// Round half away from zero, then to a size with saturation (negative and NaN give 0).
std::size_t saturating_size(double v) {
    const double r = std::round(v);
    if (!(r > 0.0)) return 0;
    if (r >= 18446744073709551616.0) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(r);
}

// The direct-sum DFT truncation of lines of one length. The exp factors depend only on the
// line length and f, so one table serves every row (or column) of a volume; each factor is
// computed by the same expression as the one-line definition, so the table changes no bit.
// Above kMaxTable factors (very long lines) the table rows are recomputed per line instead of
// stored, keeping the scratch at O(n) whatever the line length.
class LineTruncator {
public:
    LineTruncator(std::size_t n, std::size_t f)
        : n_(n), m_(f == 0 ? 0 : n / f), f_(f), kmin_(-static_cast<std::int64_t>(m_ / 2)),
          tabled_(n * m_ <= kMaxTable) {
        if (tabled_) {
            fwd_cos_.resize(n_ * m_);
            fwd_sin_.resize(n_ * m_);
            for (std::size_t q = 0; q < m_; ++q) forward_row(q, &fwd_cos_[q * n_], &fwd_sin_[q * n_]);
            inv_cos_.resize(m_ * m_);
            inv_sin_.resize(m_ * m_);
            for (std::size_t J = 0; J < m_; ++J) inverse_row(J, &inv_cos_[J * m_], &inv_sin_[J * m_]);
        } else {
            row_cos_.resize(n_);
            row_sin_.resize(n_);
        }
        cre_.resize(m_);
        cim_.resize(m_);
    }

    std::size_t out_len() const { return m_; }

    // out receives out_len() samples; line holds n samples.
    void apply(std::span<const double> line, std::span<double> out) {
        for (std::size_t q = 0; q < m_; ++q) {
            const double* c = row_cos_.data();
            const double* s = row_sin_.data();
            if (tabled_) {
                c = &fwd_cos_[q * n_];
                s = &fwd_sin_[q * n_];
            } else {
                forward_row(q, row_cos_.data(), row_sin_.data());
            }
            double re = 0.0, im = 0.0;
            for (std::size_t j = 0; j < n_; ++j) {
                re += line[j] * c[j];
                im += line[j] * s[j];
            }
            cre_[q] = re;
            cim_[q] = im;
        }
        const double nd = static_cast<double>(n_);
        for (std::size_t J = 0; J < m_; ++J) {
            const double* c = row_cos_.data();
            const double* s = row_sin_.data();
            if (tabled_) {
                c = &inv_cos_[J * m_];
                s = &inv_sin_[J * m_];
            } else {
                inverse_row(J, row_cos_.data(), row_sin_.data());
            }
            double y = 0.0;
            for (std::size_t q = 0; q < m_; ++q) y += cre_[q] * c[q] - cim_[q] * s[q];
            out[J] = y / nd;
        }
    }

private:
    static constexpr std::size_t kMaxTable = std::size_t{1} << 21;

    // Mode q of the kept band, k from -floor(m/2) to ceil(m/2) - 1 (for even m the negative
    // Nyquist mode is kept, the positive one is not).
    double mode(std::size_t q) const { return static_cast<double>(kmin_ + static_cast<std::int64_t>(q)); }

    void forward_row(std::size_t q, double* c, double* s) const {
        const double w = -kTwoPi * mode(q);
        for (std::size_t j = 0; j < n_; ++j) {
            const double theta = static_cast<double>(j) * w / static_cast<double>(n_);
            c[j] = std::cos(theta);
            s[j] = std::sin(theta);
        }
    }

    // Coarse voxel J is centred at fine position f*(J + 0.5) - 0.5.
    void inverse_row(std::size_t J, double* c, double* s) const {
        const double p = static_cast<double>(f_) * (static_cast<double>(J) + 0.5) - 0.5;
        for (std::size_t q = 0; q < m_; ++q) {
            const double phi = mode(q) * kTwoPi * p / static_cast<double>(n_);
            c[q] = std::cos(phi);
            s[q] = std::sin(phi);
        }
    }

    std::size_t n_, m_, f_;
    std::int64_t kmin_;
    bool tabled_;
    std::vector<double> fwd_cos_, fwd_sin_, inv_cos_, inv_sin_, row_cos_, row_sin_, cre_, cim_;
};

}  // namespace

Grid target_grid(const Grid& grid, double res_mm) {
    const auto& a = grid.affine;
    Grid t;
    t.affine = a;
    for (int c = 0; c < 3; ++c) {
        const double len = std::sqrt(a[c] * a[c] + a[4 + c] * a[4 + c] + a[8 + c] * a[8 + c]);
        const std::size_t n = saturating_size(static_cast<double>(grid.dims[c]) * len / res_mm);
        t.dims[c] = n == 0 ? 1 : n;
        for (int r = 0; r < 3; ++r) t.affine[4 * r + c] = a[4 * r + c] / len * res_mm;
    }
    // Keep the world position of voxel coordinate (-0.5, -0.5, -0.5), the outer corner of
    // the first voxel, so both grids cover the same field of view from the same corner.
    for (int r = 0; r < 3; ++r) {
        const double old_half = 0.5 * (a[4 * r] + a[4 * r + 1] + a[4 * r + 2]);
        const double new_half = 0.5 * (t.affine[4 * r] + t.affine[4 * r + 1] + t.affine[4 * r + 2]);
        t.affine[4 * r + 3] = a[4 * r + 3] - old_half + new_half;
    }
    t.affine[12] = 0.0;
    t.affine[13] = 0.0;
    t.affine[14] = 0.0;
    t.affine[15] = 1.0;
    return t;
}

std::vector<float> downsample_inplane(std::span<const float> data, const Dims& dims, std::size_t f) {
    if (f < 2) return std::vector<float>(data.begin(), data.end());
    const auto [nx, ny, nz] = dims;
    const std::size_t mx = nx / f, my = ny / f;
    QV_ASSERT(data.size() == nx * ny * nz, "volume does not match its dims");
    std::vector<float> out(mx * my * nz, 0.0f);
    // The block sum and its weight stay in float32, as the images they average.
    const float w = 1.0f / static_cast<float>(f * f);
    for (std::size_t z = 0; z < nz; ++z)
        for (std::size_t Y = 0; Y < my; ++Y)
            for (std::size_t X = 0; X < mx; ++X) {
                float s = 0.0f;
                for (std::size_t dy = 0; dy < f; ++dy) {
                    const float* row = &data[z * nx * ny + (Y * f + dy) * nx + X * f];
                    for (std::size_t dx = 0; dx < f; ++dx) s += row[dx];
                }
                out[(z * my + Y) * mx + X] = s * w;
            }
    return out;
}

std::vector<double> truncate_line(std::span<const double> line, std::size_t f) {
    QV_ASSERT(f != 0, "reduction factor must be positive");
    LineTruncator t(line.size(), f);
    std::vector<double> out(t.out_len());
    t.apply(line, out);
    return out;
}

std::vector<float> fourier_downsample_inplane(std::span<const float> data, const Dims& dims, std::size_t f) {
    QV_ASSERT(f >= 2, "spectral reduction needs a factor of at least 2");
    const auto [nx, ny, nz] = dims;
    QV_ASSERT(data.size() == nx * ny * nz, "volume does not match its dims");
    const std::size_t mx = nx / f, my = ny / f;
    std::vector<float> out(mx * my * nz, 0.0f);
    if (out.empty()) return out;

    LineTruncator rows(nx, f), cols(ny, f);
    std::vector<double> line(nx), reduced(ny * mx), column(ny), col_out(my);
    for (std::size_t z = 0; z < nz; ++z) {
        const float* slice = &data[z * nx * ny];
        for (std::size_t y = 0; y < ny; ++y) {
            for (std::size_t x = 0; x < nx; ++x) line[x] = slice[y * nx + x];
            rows.apply(line, std::span<double>(&reduced[y * mx], mx));
        }
        for (std::size_t X = 0; X < mx; ++X) {
            for (std::size_t y = 0; y < ny; ++y) column[y] = reduced[y * mx + X];
            cols.apply(column, col_out);
            for (std::size_t Y = 0; Y < my; ++Y) out[(z * my + Y) * mx + X] = static_cast<float>(col_out[Y]);
        }
    }
    return out;
}

}  // namespace quorvel::gre
