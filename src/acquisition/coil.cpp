#include "acquisition/coil.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>

#include "core/error.hpp"
#include "core/fft.hpp"
#include "acquisition/nufft.hpp"
#include "core/rng.hpp"

namespace quorvel::kspace {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// After this many incremental rotations the direct path's phasor field is evaluated afresh,
// bounding the rounding drift of repeated complex products.
constexpr std::size_t kMaxRotorReuse = 32;
constexpr double kNufftTol = 1e-13;

std::size_t mod_euclid(std::ptrdiff_t a, std::size_t n) {
    const auto m = static_cast<std::ptrdiff_t>(n);
    return static_cast<std::size_t>(((a % m) + m) % m);
}

// The readout (x) stage: ghost ramp, one inverse FFT of length snx per row, and the centring
// factor that places the central nx modes of the simulation grid on the acquired matrix.
class XStage {
public:
    XStage(std::size_t snx, std::size_t nx, std::size_t hx, double cx, double ghost_offset)
        : snx_(snx), nx_(nx), buf_(snx), ghost_pos_(snx), ghost_neg_(snx), shift_(nx), bin_(nx),
          fft_(fft::plan(snx, fft::Direction::Inverse)) {
        const double sn = static_cast<double>(snx);
        for (std::size_t x = 0; x < snx; ++x) {
            const double ramp = kTwoPi * ghost_offset * (static_cast<double>(x) - cx) / sn;
            ghost_pos_[x] = cis(ramp);
            ghost_neg_[x] = cis(-ramp);
        }
        for (std::size_t kx = 0; kx < nx; ++kx) {
            shift_[kx] = cis(-kTwoPi * (static_cast<double>(kx) - static_cast<double>(hx)) * cx / sn);
            bin_[kx] = mod_euclid(static_cast<std::ptrdiff_t>(kx) - static_cast<std::ptrdiff_t>(hx), snx);
        }
    }

    // Writes row ky of the acquired k-space from the accumulated row acc (snx values).
    void emit(std::span<const C> acc, double s, std::span<C> out_row) {
        // The sign of the ramp alternates with the row: that is the Nyquist ghost.
        const std::vector<C>& t = s >= 0.0 ? ghost_pos_ : ghost_neg_;
        for (std::size_t x = 0; x < snx_; ++x) buf_[x] = acc[x] * t[x];
        fft_->execute(buf_);
        for (std::size_t kx = 0; kx < nx_; ++kx) out_row[kx] = buf_[bin_[kx]] * shift_[kx];
    }

private:
    std::size_t snx_, nx_;
    std::vector<C> buf_;
    std::vector<C> ghost_pos_;
    std::vector<C> ghost_neg_;
    std::vector<C> shift_;
    std::vector<std::size_t> bin_;  // FFT bin of acquired column kx: (kx - hx) mod snx
    std::shared_ptr<const fft::Plan> fft_;
};

// A per-pixel rotation carrying the direct path's phasor field from a reference row to a later
// row with the same row step, reference parity, time step and frequency step.
struct Rotor {
    std::vector<double> cos;
    std::vector<double> sin;
    std::ptrdiff_t delta = 0;
    std::size_t parity = 0;
    double dt_s = 0.0;
    double dk = 0.0;
};

// Per-call maps on the simulation grid.
struct Maps {
    std::vector<double> s;    // coil sensitivity times signal scale
    std::vector<double> phi;  // static phase, rad
    std::vector<double> f;    // off-resonance, Hz
};

}  // namespace

bool regular_line_timing(std::span<const double> t_ms) {
    const std::size_t ny = t_ms.size();
    if (ny < 3) return false;
    const double t0 = t_ms[0];
    const double dt = (t_ms[2] - t0) / 2.0;
    const double off = t_ms[1] - (t0 + dt);
    double m = 0.0;
    for (double t : t_ms)
        if (!std::isnan(t)) m = std::max(m, std::abs(t));
    const double tol = 1e-9 * std::max(m, 1e-300);
    for (std::size_t i = 0; i < ny; ++i) {
        const double model = static_cast<double>(i) * dt + t0 + (i % 2 == 1 ? off : 0.0);
        // Written so that a NaN anywhere fails the test.
        if (!(std::abs(t_ms[i] - model) <= tol)) return false;
    }
    return true;
}

std::vector<C> build_coil_kspace(const SliceInput& in, const Acquisition& acq, std::size_t c, std::size_t nc) {
    const std::size_t snx = in.snx, sny = in.sny, nx = in.nx, ny = in.ny;
    QV_ASSERT(nx >= 1 && ny >= 1, "coil k-space: the acquired matrix must be at least 1 x 1");
    if (snx % nx != 0 || sny % ny != 0 || snx == 0 || sny == 0)
        throw InvalidInput("sim grid must be an integer multiple of the acquired matrix");
    const std::size_t npix = snx * sny;
    const std::size_t ncomp = in.images.size();
    for (const auto& img : in.images) QV_ASSERT(img.size() == npix, "coil k-space: image is not snx*sny");
    QV_ASSERT(in.t2.size() >= ncomp, "coil k-space: one T2 per compartment is required");
    QV_ASSERT(in.fieldmap.size() == npix, "coil k-space: field map is not snx*sny");
    QV_ASSERT(in.phase.size() == npix, "coil k-space: phase map is not snx*sny");

    const double ox = static_cast<double>(snx / nx), oy = static_cast<double>(sny / ny);
    const std::size_t hx = nx / 2, hy = ny / 2;
    const double cx = ox * static_cast<double>(hx) + (ox - 1.0) / 2.0;
    const double cy = oy * static_cast<double>(hy) + (oy - 1.0) / 2.0;
    const double snx_d = static_cast<double>(snx), sny_d = static_cast<double>(sny);
    const double zd = static_cast<double>(in.z);
    const double zp = zd - (static_cast<double>(in.nz_full) - 1.0) / 2.0;
    const double ze = zd - static_cast<double>(in.nz_full / 2);
    const double gx = in.bval * in.bvec[0], gy = in.bval * in.bvec[1], gz = in.bval * in.bvec[2];
    const bool weighted = std::abs(in.bval) > 1e-9;

    const LineTimes times = line_times_for(nx, ny, acq.t_line, acq.t_echo, acq.reverse_phase, acq.pf_mode,
                                           acq.partial_fourier);
    const std::vector<std::uint8_t> mask = sampling_mask(nx, ny, acq);

    // ---- maps ----
    auto xx_of = [&](std::size_t x) { return (static_cast<double>(x) - cx) / ox; };
    auto yy_of = [&](std::size_t y) { return (static_cast<double>(y) - cy) / oy; };
    Maps maps{std::vector<double>(npix), std::vector<double>(npix), std::vector<double>(npix)};
    {
        const double scale = acq.signal_scale;
        const double r = static_cast<double>(std::max(nx, ny));
        const double theta = kTwoPi * static_cast<double>(c) / static_cast<double>(nc);
        const double X = static_cast<double>(nx) / 2.0 + 0.6 * r * std::cos(theta);
        const double Y = static_cast<double>(ny) / 2.0 + 0.6 * r * std::sin(theta);
        const double two_sigma2 = 2.0 * ((0.9 * r) * (0.9 * r));
        // A NaN eddy_phase counts as switched on.
        const bool eddy_static = !(acq.eddy_phase == 0.0) && weighted;
        for (std::size_t y = 0; y < sny; ++y) {
            const double ya = (static_cast<double>(y) - (oy - 1.0) / 2.0) / oy;
            const double yy = yy_of(y);
            for (std::size_t x = 0; x < snx; ++x) {
                const std::size_t i = x + snx * y;
                if (nc < 2) {
                    maps.s[i] = scale;
                } else {
                    const double xa = (static_cast<double>(x) - (ox - 1.0) / 2.0) / ox;
                    const double d2 = (xa - X) * (xa - X) + (ya - Y) * (ya - Y);
                    maps.s[i] = (std::exp(-d2 / two_sigma2) + 0.15) * scale;
                }
                double phi = in.phase[i];
                if (eddy_static) phi += acq.eddy_phase * (gx * xx_of(x) + gy * yy + gz * zp);
                maps.phi[i] = phi;
                maps.f[i] = acq.do_distortions ? static_cast<double>(in.fieldmap[i]) : 0.0;
            }
        }
    }

    XStage xstage(snx, nx, hx, cx, acq.ghost_offset);

    // A NaN eddy_strength counts as switched on; eddy_quad acts only with it.
    const bool eddy_on = weighted && !(acq.eddy_strength == 0.0);
    const bool use_nufft = !eddy_on && regular_line_timing(times.t_ms);

    // ---- NUFFT path: encode y for every column once, both row parities at once ----
    std::vector<std::vector<C>> hybrid;  // per compartment, snx*ny at x + snx*ky
    if (use_nufft && ncomp > 0) {
        const double t0 = times.t_ms[0];
        const double dt = (times.t_ms[2] - t0) / 2.0;
        const double off = times.t_ms[1] - (t0 + dt);
        const double tc = (t0 + static_cast<double>(hy) * dt) / 1000.0;
        const double offs = off / 1000.0;
        // The off-resonance phase grows linearly with the row; folding it into the sample
        // position (a displacement f*D along y) turns it into part of the Fourier kernel.
        const double d = sny_d * dt / 1000.0;
        nufft::Nufft1 plan(sny, -static_cast<std::ptrdiff_t>(hy), ny, kNufftTol);
        const std::size_t nch = 2 * ncomp;
        std::vector<double> pos(sny);
        std::vector<std::vector<double>> ch_re(nch, std::vector<double>(sny)), ch_im(nch, std::vector<double>(sny));
        std::vector<nufft::ChannelIn> ins(nch);
        for (std::size_t k = 0; k < nch; ++k) ins[k] = {ch_re[k], ch_im[k]};
        std::vector<nufft::ChannelOut> outs(nch);
        hybrid.assign(ncomp, std::vector<C>(snx * ny));
        for (std::size_t x = 0; x < snx; ++x) {
            for (std::size_t y = 0; y < sny; ++y) {
                const std::size_t i = x + snx * y;
                const double f = maps.f[i];
                pos[y] = f * d + (static_cast<double>(y) - cy);
                const double theta = kTwoPi * f * tc + maps.phi[i];
                const double psi = kTwoPi * f * offs;
                const C even = cis(theta), odd = cis(theta + psi);
                for (std::size_t j = 0; j < ncomp; ++j) {
                    const double v = static_cast<double>(in.images[j][i]) * maps.s[i];
                    ch_re[2 * j][y] = v * even.re;
                    ch_im[2 * j][y] = v * even.im;
                    ch_re[2 * j + 1][y] = v * odd.re;
                    ch_im[2 * j + 1][y] = v * odd.im;
                }
            }
            plan.run(pos, ins, outs);
            for (std::size_t j = 0; j < ncomp; ++j)
                for (std::size_t ky = 0; ky < ny; ++ky) {
                    const nufft::ChannelOut& o = outs[2 * j + ky % 2];
                    hybrid[j][x + snx * ky] = C{o.re[ky], o.im[ky]};
                }
        }
    }

    // ---- direct path state ----
    std::vector<C> field;  // phasor field P, snx*sny
    std::vector<Rotor> rotors;
    bool have_ref = false;
    std::size_t ref_row = 0, reuse = 0;
    if (!use_nufft) field.resize(npix);
    auto k_of = [&](std::size_t ky) { return (static_cast<double>(ky) - static_cast<double>(hy)) / sny_d; };
    auto fresh_field = [&](std::size_t ky) {
        const double ts = times.t_ms[ky] / 1000.0;
        const double k = k_of(ky);
        for (std::size_t y = 0; y < sny; ++y) {
            const double yk = (static_cast<double>(y) - cy) * k;
            for (std::size_t x = 0; x < snx; ++x) {
                const std::size_t i = x + snx * y;
                field[i] = maps.s[i] * cis(kTwoPi * (maps.f[i] * ts + yk) + maps.phi[i]);
            }
        }
        have_ref = true;
        ref_row = ky;
        reuse = 0;
    };
    auto advance_field = [&](std::size_t ky) {
        if (!have_ref || reuse >= kMaxRotorReuse) return fresh_field(ky);
        const double d_t = times.t_ms[ky] / 1000.0 - times.t_ms[ref_row] / 1000.0;
        const double d_k = k_of(ky) - k_of(ref_row);
        const auto delta = static_cast<std::ptrdiff_t>(ky) - static_cast<std::ptrdiff_t>(ref_row);
        const std::size_t parity = ref_row % 2;
        Rotor* rot = nullptr;
        for (Rotor& r : rotors)
            if (r.delta == delta && r.parity == parity) {
                rot = &r;
                break;
            }
        if (rot == nullptr) {
            Rotor r{std::vector<double>(npix), std::vector<double>(npix), delta, parity, d_t, d_k};
            for (std::size_t y = 0; y < sny; ++y) {
                const double yk = (static_cast<double>(y) - cy) * d_k;
                for (std::size_t x = 0; x < snx; ++x) {
                    const std::size_t i = x + snx * y;
                    const double a = kTwoPi * (maps.f[i] * d_t + yk);
                    r.cos[i] = std::cos(a);
                    r.sin[i] = std::sin(a);
                }
            }
            rotors.push_back(std::move(r));
            rot = &rotors.back();
        }
        if (std::abs(rot->dt_s - d_t) <= 1e-12 * std::max(std::abs(d_t), 1e-300) && rot->dk == d_k) {
            for (std::size_t i = 0; i < npix; ++i) field[i] *= C{rot->cos[i], rot->sin[i]};
            ++reuse;
            ref_row = ky;
        } else {
            fresh_field(ky);
        }
    };

    // ---- rows ----
    std::vector<C> out(ny * nx);
    std::vector<C> acc(snx);
    std::vector<double> w(ncomp);
    std::vector<C> ex(snx), ey(sny);
    for (std::size_t ky = 0; ky < ny; ++ky) {
        if (mask[ky * nx] != 1) continue;
        const double ts = times.t_ms[ky] / 1000.0;
        if (!use_nufft) advance_field(ky);
        for (std::size_t j = 0; j < ncomp; ++j)
            w[j] = acq.do_relaxation ? std::exp(-times.t_rf_ms[ky] / static_cast<double>(in.t2[j]) -
                                                std::abs(ts) * 1000.0 / acq.t_inhom)
                                     : 1.0;
        C ez{1.0, 0.0};
        if (eddy_on) {
            const double a = ts * std::exp(-times.t_read_ms[ky] / acq.eddy_tau);
            auto eddy = [&](double g, double u) {
                return cis(kTwoPi * a * (acq.eddy_quad * g * (u * u) + acq.eddy_strength * g * u));
            };
            for (std::size_t x = 0; x < snx; ++x) ex[x] = eddy(gx, xx_of(x));
            for (std::size_t y = 0; y < sny; ++y) ey[y] = eddy(gy, yy_of(y));
            ez = eddy(gz, ze);
        }

        std::fill(acc.begin(), acc.end(), C{});
        if (use_nufft) {
            for (std::size_t j = 0; j < ncomp; ++j) {
                const C* h = hybrid[j].data() + snx * ky;
                for (std::size_t x = 0; x < snx; ++x) acc[x] += w[j] * h[x];
            }
        } else if (ncomp > 0) {
            // Summed row by row: for each x the y order is ascending, as the column sum requires.
            for (std::size_t y = 0; y < sny; ++y) {
                const C* p = field.data() + snx * y;
                for (std::size_t x = 0; x < snx; ++x) {
                    const std::size_t i = x + snx * y;
                    double m = 0.0;
                    for (std::size_t j = 0; j < ncomp; ++j) m += w[j] * static_cast<double>(in.images[j][i]);
                    const C py = eddy_on ? p[x] * ey[y] : p[x];
                    acc[x] += py * m;
                }
            }
        }
        if (eddy_on)
            for (std::size_t x = 0; x < snx; ++x) acc[x] *= ex[x] * ez;

        const double s = ky % 2 == 0 ? acq.ghost_offset : -acq.ghost_offset;
        xstage.emit(acc, s, std::span<C>(out).subspan(ky * nx, nx));
    }

    const double inv = 1.0 / (snx_d * sny_d);
    for (C& v : out) v *= inv;

    // ---- spikes: replace a few sampled samples by a scaled copy of the peak ----
    if (acq.n_spikes > 0) {
        C peak{};
        double best = 0.0;
        for (const C& v : out) {
            const double m = abs(v);
            if (m > best) {
                best = m;
                peak = v;
            }
        }
        const C value = peak * acq.spike_amplitude;
        std::vector<std::size_t> sampled;
        for (std::size_t i = 0; i < mask.size(); ++i)
            if (mask[i] == 1) sampled.push_back(i);
        if (!sampled.empty()) {
            const std::uint64_t base = in.seed ^ 0xa5a5123456789abcull;
            // Every spike writes the same value, so once each sampled sample has been hit the
            // remaining draws change nothing: the loop ends there, whatever n_spikes asks for.
            std::vector<std::uint8_t> hit(sampled.size(), 0);
            std::size_t n_hit = 0;
            for (std::uint64_t k = 1; k <= acq.n_spikes && n_hit < sampled.size(); ++k) {
                const std::size_t j = rng::stream(base, k) % sampled.size();
                out[sampled[j]] = value;
                n_hit += hit[j] == 0 ? 1 : 0;
                hit[j] = 1;
            }
        }
    }

    // ---- complex Gaussian noise on the sampled samples ----
    if (acq.noise_variance > 0.0) {
        const double sigma = std::sqrt(acq.noise_variance / static_cast<double>(nx * ny));
        std::uint64_t state = ((static_cast<std::uint64_t>(c) * 0x9e3779b9ull) ^ in.seed) | 1ull;
        for (std::size_t i = 0; i < ny * nx; ++i) {
            if (mask[i] == 0) continue;
            const double u1 = rng::uniform_open(rng::stream(state, 1));
            const double u2 = rng::uniform_open(rng::stream(state, 2));
            const double u3 = rng::uniform_open(rng::stream(state, 3));
            const double u4 = rng::uniform_open(rng::stream(state, 4));
            state += 4 * rng::kGolden;
            out[i].re += sigma * std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
            out[i].im += sigma * std::sqrt(-2.0 * std::log(u3)) * std::cos(kTwoPi * u4);
        }
    }
    return out;
}

}  // namespace quorvel::kspace
