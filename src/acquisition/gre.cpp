// GRE field-map synthesis and the smooth receive-coil maps.
#include "acquisition/gre.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/finite.hpp"
#include "core/rng.hpp"
#include "core/sizes.hpp"

namespace quorvel::gre {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kDegToRad = 0.017453292519943295;
// Seed scrambler of the field-map noise: keeps its draws apart from every other stream keyed
// on the same run seed.
constexpr std::uint64_t kNoiseSalt = 0x6E7EF1E1D0000000ull;

// Normalised coordinate of index i on an axis of n voxels: -1 at the first voxel, +1 at the
// last (a single voxel sits at -1).
double unit_coord(std::size_t i, std::size_t n) {
    return 2.0 * static_cast<double>(i) / static_cast<double>(std::max<std::size_t>(n, 2) - 1) - 1.0;
}

double det3(const std::array<double, 16>& a) {
    return a[0] * (a[5] * a[10] - a[6] * a[9]) - a[1] * (a[4] * a[10] - a[6] * a[8]) +
           a[2] * (a[4] * a[9] - a[5] * a[8]);
}

// Index of a resampled position: round half away from zero, negative and NaN to 0, at most hi.
std::size_t clamp_index(double v, std::size_t hi) {
    const double r = std::round(v);
    if (!(r > 0.0)) return 0;
    if (r >= static_cast<double>(hi)) return hi;
    return static_cast<std::size_t>(r);
}

// Phase angle in [-pi, pi] to the scanner's 12-bit code; +pi would give 4096 and is held at 4095.
// A NaN angle (from a non-finite input map) saturates to code 0 like any other conversion here,
// instead of reaching an undefined float-to-integer cast.
std::int16_t phase_code(double phi) {
    const double c = std::round((phi + std::numbers::pi) / kTwoPi * 4096.0);
    if (!(c > 0.0)) return 0;
    return static_cast<std::int16_t>(std::min(c, 4095.0));
}

// atan2 with signed zeros cleared: an echo (or product) that is exactly zero, whatever signs
// its zero parts picked up, has angle 0 (code 2048) rather than a spurious +-pi.
double angle(double y, double x) { return std::atan2(y + 0.0, x + 0.0); }

std::string plain(double v) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

struct Planes {
    std::vector<float> re1, im1, re2, im2;
};

}  // namespace

std::vector<float> smooth_rx_phase(const Grid& grid, double amplitude) {
    const auto [nx, ny, nz] = grid.dims;
    std::vector<float> out(nx * ny * nz);
    std::size_t v = 0;
    for (std::size_t k = 0; k < nz; ++k) {
        const double z = unit_coord(k, nz);
        for (std::size_t j = 0; j < ny; ++j) {
            const double y = unit_coord(j, ny);
            for (std::size_t i = 0; i < nx; ++i, ++v) {
                const double x = unit_coord(i, nx);
                const double poly = x + 0.7 * y + 0.4 * z + 0.6 * x * y + 0.5 * (x * x - 0.5) +
                                    0.4 * (y * y - 0.5) + 0.3 * y * z;
                out[v] = static_cast<float>(amplitude * poly);
            }
        }
    }
    return out;
}

std::vector<double> bias_gain(const Dims& dims, std::size_t z_offset, std::size_t nz_total, double bias) {
    const auto [nx, ny, nz] = dims;
    std::vector<double> out(nx * ny * nz, 1.0);
    if (bias == 0.0) return out;
    // Only axes longer than one voxel vary; the rest neither add a term nor count in the mean.
    const std::array<std::size_t, 3> extent{nx, ny, nz_total};
    std::array<double, 3> half{}, scale{};
    std::array<bool, 3> takes_part{};
    std::size_t n_axes = 0;
    for (int a = 0; a < 3; ++a) {
        takes_part[a] = extent[a] > 1;
        half[a] = (static_cast<double>(extent[a]) - 1.0) * 0.5;
        scale[a] = std::max(half[a], 0.5);
        n_axes += takes_part[a] ? 1 : 0;
    }
    std::size_t v = 0;
    for (std::size_t z = 0; z < nz; ++z)
        for (std::size_t y = 0; y < ny; ++y)
            for (std::size_t x = 0; x < nx; ++x, ++v) {
                // Summed in float64: a slab offset near the size limit must not wrap around.
                const std::array<double, 3> p{static_cast<double>(x), static_cast<double>(y),
                                              static_cast<double>(z) + static_cast<double>(z_offset)};
                double sum = 0.0;
                for (int a = 0; a < 3; ++a) {
                    if (!takes_part[a]) continue;
                    const double d = (p[a] - half[a]) / scale[a];
                    sum += d * d;
                }
                const double mean = n_axes == 0 ? 0.0 : sum / static_cast<double>(n_axes);
                out[v] = (1.0 - bias) + 2.0 * bias * mean;
            }
    return out;
}

Grid checked_target_grid(const Grid& sig_grid, double res_mm) {
    if (!(std::isfinite(res_mm) && res_mm > 0.0))
        throw InvalidInput("res_mm: expected a positive finite number, got " + plain(res_mm));
    // Signal voxels are binned into the new grid, whose voxel volume sets the noise level.
    raster::check_affine(sig_grid.affine);
    const Grid t = target_grid(sig_grid, res_mm);
    const auto n = checked_product({t.dims[0], t.dims[1], t.dims[2]});
    if (!n || *n > kMaxOutputVoxels)
        throw InvalidInput("res_mm " + plain(res_mm) + " gives an output grid of " + std::to_string(t.dims[0]) +
                           " x " + std::to_string(t.dims[1]) + " x " + std::to_string(t.dims[2]) +
                           " voxels, more than " + std::to_string(kMaxOutputVoxels));
    return t;
}

OutputPlan output_plan(const Grid& sig_grid, const Grid& acq_grid, const std::optional<double>& res_mm) {
    if (!res_mm) return {raster::inplane_factor(sig_grid.dims, acq_grid.dims), std::nullopt};
    OutputPlan plan{1, checked_target_grid(sig_grid, *res_mm)};
    // Binned output is free of the acquisition grid's dims; its affine sets the noise level.
    try {
        raster::check_affine(acq_grid.affine);
    } catch (const InvalidInput& e) {
        throw InvalidInput("acq_affine: " + e.text());
    }
    return plan;
}

GreFieldmap synthesize(const GreInputs& in, const GreParams& p) {
    // Checked before any work, so refused grids or a refused res_mm cost nothing.
    const Grid& sg = in.sig_grid;
    const auto [f, target] = output_plan(sg, in.acq_grid, p.res_mm);

    const auto [snx, sny, snz] = sg.dims;
    const std::size_t nvox = sg.nvox();

    QV_ASSERT(in.fmap.size() == nvox, "fieldmap is not on the signal grid");
    QV_ASSERT(in.t2.size() == 3, "three compartment T2s");
    QV_ASSERT(!in.head || in.head->size() == nvox, "head is not on the signal grid");
    QV_ASSERT(in.fiber.size() == nvox && in.gm.size() == nvox && in.csf.size() == nvox,
              "fractions are not on the signal grid");
    // One NaN or infinity would spread over its slice through the in-plane Fourier reduction,
    // and to its neighbours through the warp.
    check_finite("fiber fraction", in.fiber, sg.dims);
    check_finite("gm fraction", in.gm, sg.dims);
    check_finite("csf fraction", in.csf, sg.dims);
    check_finite("fieldmap", in.fmap, sg.dims);
    if (in.head) check_finite("head", *in.head, sg.dims);

    // Spoiled steady state of each compartment (Ernst).
    const double alpha = p.flip_deg * kDegToRad;
    std::array<double, 3> steady{}, amp{};
    for (int c = 0; c < 3; ++c) {
        const double e1 = std::exp(-1000.0 * p.tr_s / static_cast<double>(p.t1_ms[c]));
        steady[c] = std::sin(alpha) * (1.0 - e1) / (1.0 - std::cos(alpha) * e1);
        amp[c] = static_cast<double>(p.pd[c]) * static_cast<double>(in.s0[c]) * steady[c];
    }

    const std::vector<double> gain =
        bias_gain(sg.dims, in.z_offset, std::max(in.nz_full, snz), p.bias);

    std::array<std::vector<float>, 2> mag;
    for (int e = 0; e < 2; ++e) {
        const double te = p.te_s[e];
        std::array<double, 3> decay{};
        for (int c = 0; c < 3; ++c) decay[c] = std::exp(-1000.0 * te / static_cast<double>(in.t2[c]));
        const double decay_head = std::exp(-1000.0 * te / static_cast<double>(p.t2_head_ms));
        std::vector<float> m(nvox);
        for (std::size_t v = 0; v < nvox; ++v) {
            double s = static_cast<double>(in.fiber[v]) * amp[0] * decay[0] +
                       static_cast<double>(in.gm[v]) * amp[1] * decay[1] +
                       static_cast<double>(in.csf[v]) * amp[2] * decay[2];
            // The head compartment shares the fibre compartment's amplitude, with its own T2*.
            if (in.head) s += static_cast<double>((*in.head)[v]) * amp[0] * decay_head;
            m[v] = static_cast<float>(s * in.signal_scale * gain[v]);
        }
        if (in.warp) m = in.warp->field->warp_volume(m, in.warp->modulate);
        mag[e] = std::move(m);
    }

    std::vector<float> rx;
    if (p.output == Output::Phase) rx = smooth_rx_phase(sg, p.rx_phase_rad);
    auto rx_at = [&](std::size_t v) { return rx.empty() ? 0.0 : static_cast<double>(rx[v]); };

    Planes img;
    Grid out_grid = in.acq_grid;
    if (p.res_mm) {
        // Each signal voxel goes whole to the target voxel holding its centre; the complex
        // values are averaged so the phase of each echo survives the reduction.
        const double res = *p.res_mm;
        out_grid = *target;
        const auto [tnx, tny, tnz] = out_grid.dims;
        const std::size_t tn = tnx * tny * tnz;
        std::array<double, 3> s{};
        for (int c = 0; c < 3; ++c) {
            const auto& a = sg.affine;
            s[c] = std::sqrt(a[c] * a[c] + a[4 + c] * a[4 + c] + a[8 + c] * a[8 + c]) / res;
        }
        auto bin = [](std::size_t i, double sc, std::size_t n) {
            return clamp_index((static_cast<double>(i) + 0.5) * sc - 0.5, n - 1);
        };
        std::vector<double> r1(tn, 0.0), i1(tn, 0.0), r2(tn, 0.0), i2(tn, 0.0), count(tn, 0.0);
        std::size_t v = 0;
        for (std::size_t z = 0; z < snz; ++z) {
            const std::size_t tz = bin(z, s[2], tnz);
            for (std::size_t y = 0; y < sny; ++y) {
                const std::size_t ty = bin(y, s[1], tny);
                for (std::size_t x = 0; x < snx; ++x, ++v) {
                    const std::size_t t = bin(x, s[0], tnx) + tnx * (ty + tny * tz);
                    const double fm = static_cast<double>(in.fmap[v]);
                    const double phi1 = rx_at(v) + kTwoPi * fm * p.te_s[0];
                    const double phi2 = rx_at(v) + kTwoPi * fm * p.te_s[1];
                    const double m1 = mag[0][v], m2 = mag[1][v];
                    r1[t] += m1 * std::cos(phi1);
                    i1[t] += m1 * std::sin(phi1);
                    r2[t] += m2 * std::cos(phi2);
                    i2[t] += m2 * std::sin(phi2);
                    count[t] += 1.0;
                }
            }
        }
        auto mean = [&](const std::vector<double>& sum) {
            std::vector<float> o(tn, 0.0f);
            for (std::size_t t = 0; t < tn; ++t)
                if (count[t] > 0.0) o[t] = static_cast<float>(sum[t] / count[t]);
            return o;
        };
        img = {mean(r1), mean(i1), mean(r2), mean(i2)};
    } else {
        const bool spectral = f >= 2 && p.ringing;
        auto reduce = [&](const std::vector<float>& vol) {
            return spectral ? fourier_downsample_inplane(vol, sg.dims, f) : downsample_inplane(vol, sg.dims, f);
        };
        if (p.output == Output::Phase) {
            for (int e = 0; e < 2; ++e) {
                std::vector<float> re(nvox), im(nvox);
                for (std::size_t v = 0; v < nvox; ++v) {
                    const double phi = rx_at(v) + static_cast<double>(in.fmap[v]) * kTwoPi * p.te_s[e];
                    const double m = mag[e][v];
                    re[v] = static_cast<float>(m * std::cos(phi));
                    im[v] = static_cast<float>(m * std::sin(phi));
                }
                (e == 0 ? img.re1 : img.re2) = reduce(re);
                (e == 0 ? img.im1 : img.im2) = reduce(im);
            }
        } else {
            // Echo 1 carries zero phase: only the phase accrued between the echoes is coded.
            // The field map is box-averaged whatever `ringing` says.
            img.re1 = reduce(mag[0]);
            const std::vector<float> m2 = reduce(mag[1]);
            const std::vector<float> fm = downsample_inplane(in.fmap, sg.dims, f);
            img.im1.assign(img.re1.size(), 0.0f);
            img.re2.resize(m2.size());
            img.im2.resize(m2.size());
            const double dte = p.te_s[1] - p.te_s[0];
            for (std::size_t v = 0; v < m2.size(); ++v) {
                const double dphi = kTwoPi * static_cast<double>(fm[v]) * dte;
                img.re2[v] = static_cast<float>(static_cast<double>(m2[v]) * std::cos(dphi));
                img.im2[v] = static_cast<float>(static_cast<double>(m2[v]) * std::sin(dphi));
            }
        }
    }

    // The noise level is set by the largest steady-state signal (S0 factors aside) at the
    // acquisition voxel; a finer output voxel collects less signal against the same noise.
    double sigma = 0.0;
    if (p.snr > 0.0) {
        double ref = 0.0;
        for (int c = 0; c < 3; ++c) ref = std::fmax(ref, static_cast<double>(p.pd[c]) * steady[c]);
        ref = std::fmax(ref, std::numeric_limits<double>::min());
        // Without res_mm the output grid is the acquisition grid: the ratio is 1 by definition,
        // also for a degenerate affine whose determinant would make it 0/0.
        const double vol = p.res_mm ? std::abs(det3(in.acq_grid.affine) / det3(out_grid.affine)) : 1.0;
        sigma = in.signal_scale * ref / p.snr * std::pow(vol, p.snr_vol_exp);
    }

    const std::size_t n = img.re1.size();
    QV_ASSERT(img.im1.size() == n && img.re2.size() == n && img.im2.size() == n, "echo planes differ in size");
    GreFieldmap res;
    res.magnitude[0].resize(n);
    res.magnitude[1].resize(n);
    const bool two_phases = p.output == Output::Phase;
    res.phase.assign(two_phases ? 2 : 1, std::vector<std::int16_t>(n));
    const std::uint64_t state0 = (in.seed * rng::kGolden) ^ kNoiseSalt;
    for (std::size_t v = 0; v < n; ++v) {
        // Eight draws per voxel: voxel v owns steps 8v + 1 .. 8v + 8 of one SplitMix64 stream.
        std::array<double, 8> u{};
        for (std::uint64_t k = 1; k <= 8; ++k)
            u[k - 1] = rng::uniform_open(rng::mix(state0 + (8 * static_cast<std::uint64_t>(v) + k) * rng::kGolden));
        const double re1 = img.re1[v] + sigma * rng::normal(u[0], u[1]);
        const double im1 = img.im1[v] + sigma * rng::normal(u[2], u[3]);
        const double re2 = img.re2[v] + sigma * rng::normal(u[4], u[5]);
        const double im2 = img.im2[v] + sigma * rng::normal(u[6], u[7]);
        res.magnitude[0][v] = static_cast<float>(std::sqrt(re1 * re1 + im1 * im1));
        res.magnitude[1][v] = static_cast<float>(std::sqrt(re2 * re2 + im2 * im2));
        if (two_phases) {
            res.phase[0][v] = phase_code(angle(im1, re1));
            res.phase[1][v] = phase_code(angle(im2, re2));
        } else {
            // Angle of echo 2 times the conjugate of echo 1.
            res.phase[0][v] = phase_code(angle(re1 * im2 - im1 * re2, re1 * re2 + im1 * im2));
        }
    }

    // Tools that rescale phase codes by the image's own minimum and maximum would stretch a
    // narrow range of differences; stamping both extremes pins that range to -pi..pi.
    if (!two_phases && n >= 2) {
        auto& ph = res.phase[0];
        const auto [lo, hi] = std::minmax_element(ph.begin(), ph.end());
        if (*lo > 0 || *hi < 4095) {
            ph.front() = 0;
            ph.back() = 4095;
            res.stamped = true;
        }
    }

    res.b0_field = p.b0_field;
    res.grid = out_grid;
    res.te_s = p.te_s;
    res.sigma = sigma;
    res.output = p.output;
    return res;
}

}  // namespace quorvel::gre
