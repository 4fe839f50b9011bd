#include "acquisition/acquire.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cxxabi.h>
#include <string>

#include "core/error.hpp"
#include "core/finite.hpp"
#include "core/pool.hpp"
#include "acquisition/recon.hpp"
#include "core/rng.hpp"
#include "core/sizes.hpp"

namespace quorvel::kspace {
namespace {


struct VolumeResult {
    std::vector<float> re;
    std::vector<float> im;
    std::vector<SliceRecon> records;  // one per distinct captured slice, ascending
};

void append_pairs(std::vector<float>& out, const std::vector<C>& v) {
    for (const C& s : v) {
        out.push_back(static_cast<float>(s.re));
        out.push_back(static_cast<float>(s.im));
    }
}

constexpr std::size_t kMaxGrappaCoils = 256;

void check_inputs(const AcquisitionInput& in, const Acquisition& acq, const AcquisitionOptions& opt) {
    const auto [snx, sny, nz] = in.sim_dims;
    const auto [nx, ny, anz] = in.acq_dims;
    const std::size_t v = in.ngrad;
    if (nz != anz) throw InvalidInput("slice count must match; z is never oversampled");
    // A zero quotient is no oversampling factor either.
    if (nx == 0 || ny == 0 || snx % nx != 0 || sny % ny != 0 || snx == 0 || sny == 0)
        throw InvalidInput("sim grid must be an integer multiple of the acquired matrix");
    if (snx / nx != sny / ny) throw InvalidInput("oversampling must match on both axes");
    const std::size_t slab = snx * sny * nz;
    const auto per_image = checked_product({slab, v});
    for (const auto& img : in.images)
        if (!per_image || img.size() != *per_image)
            throw InvalidInput("compartment image is not on the simulation grid");
    if (in.fieldmap.size() != slab) throw InvalidInput("fieldmap is not on the simulation grid");
    if (opt.slice_z && opt.slice_z->size() != nz) throw InvalidInput("slice_z must name every local slice");
    if (opt.te_per_volume && opt.te_per_volume->size() != v)
        throw InvalidInput("t_echo_per_volume must have one entry per volume");
    if (opt.kspace_slices)
        for (std::size_t e : *opt.kspace_slices)
            if (e >= nz)
                throw InvalidInput("kspace_slices index " + std::to_string(e) + " out of range for " +
                                   std::to_string(nz) + " slices");
    // Sizes a protocol could push past the address space: one slice's coil k-spaces and the
    // capture buffers. Rejected before anything is allocated.
    const std::size_t nc = std::max<std::size_t>(acq.n_coils, 1);
    const auto per_slice = checked_product({nc, nx * ny * 2 * sizeof(C)});
    if (!per_slice)
        throw InvalidInput("n_coils " + std::to_string(acq.n_coils) + " is too large for a " +
                           std::to_string(nx) + " x " + std::to_string(ny) + " matrix");
    // GRAPPA runs whenever a pair of rows R apart fits in the matrix. Its normal equations have
    // 6 unknowns per coil and take cubic time: far beyond any receive array they would run for
    // hours per slice, uninterruptibly.
    const bool grappa = acq.accel >= 2 && acq.accel < ny;
    if (grappa && nc > kMaxGrappaCoils)
        throw InvalidInput("n_coils " + std::to_string(acq.n_coils) + ": GRAPPA reconstructs at most " +
                           std::to_string(kMaxGrappaCoils) + " coils");
    if (opt.kspace_slices && !opt.kspace_slices->empty()) {
        if (!checked_product({*per_slice, opt.kspace_slices->size(), std::max<std::size_t>(v, 1)}))
            throw InvalidInput("kspace_slices: capture of " + std::to_string(opt.kspace_slices->size()) +
                               " slices is too large");
    }
    if (!acquisition_memory(nc, nx, ny, grappa, v, pool::current_threads(), physical_memory()).fits)
        throw InvalidInput("n_coils " + std::to_string(acq.n_coils) + ": slices of that many coils on a " +
                           std::to_string(nx) + " x " + std::to_string(ny) + " matrix do not fit in memory");
    // Last, being the only check that reads every value. One NaN or infinity would spread
    // through the slice's Fourier transforms over every pixel of the slice.
    check_finite("fieldmap (signal grid)", in.fieldmap, in.sim_dims);
    for (std::size_t c = 0; c < in.images.size(); ++c)
        check_finite("compartment image " + std::to_string(c), in.images[c], in.sim_dims, v);
    QV_ASSERT(in.t2.size() >= in.images.size(), "acquisition: one T2 per compartment is required");
    QV_ASSERT(in.bvals.size() >= v && in.bvecs.size() >= v, "acquisition: b-values and vectors for every volume");
    QV_ASSERT(!in.noise_sigma || in.noise_sigma->size() == nx * ny * nz,
              "acquisition: noise_sigma is not on the acquired grid");
}

}  // namespace

MemoryEstimate acquisition_memory(std::size_t n_coils, std::size_t nx, std::size_t ny, bool grappa,
                                  std::size_t volumes, std::size_t threads, std::size_t available) {
    const double nc = static_cast<double>(n_coils);
    const double per_task = nc * static_cast<double>(nx * ny) * (4 * sizeof(C) + sizeof(double)) +
                            (grappa ? nc * nc * (36 * 2 + 6 * 3) * sizeof(C) : 0.0);
    const double bytes = per_task * static_cast<double>(std::min(volumes, threads));
    return {bytes, !(bytes > static_cast<double>(available))};
}

AcquisitionOutput simulate_acquisition_complex(const AcquisitionInput& in, const Acquisition& acq,
                                               const AcquisitionOptions& opt) {
    check_inputs(in, acq, opt);
    const auto [snx, sny, nz] = in.sim_dims;
    const std::size_t nx = in.acq_dims[0], ny = in.acq_dims[1];
    const std::size_t nvol = in.ngrad;
    const std::size_t ncomp = in.images.size();
    const std::size_t o = snx / nx;
    const std::size_t nz_eff = opt.nz_full.value_or(nz);
    const std::vector<std::size_t> wanted = opt.kspace_slices.value_or(std::vector<std::size_t>{});
    std::vector<std::size_t> distinct = wanted;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    const std::size_t slice_px = snx * sny;
    const std::size_t acq_px = nx * ny;
    std::atomic<std::size_t> done{0};

    auto volume = [&](std::size_t v) {
        VolumeResult res;
        Acquisition acq_v = acq;
        if (opt.te_per_volume) acq_v.t_echo = (*opt.te_per_volume)[v];
        res.re.assign(acq_px * nz, 0.0f);
        res.im.assign(acq_px * nz, 0.0f);
        res.records.reserve(distinct.size());

        std::vector<std::vector<float>> comp(ncomp, std::vector<float>(slice_px));
        std::vector<float> fmap(slice_px);
        SliceInput si;
        for (const auto& b : comp) si.images.emplace_back(b);
        si.t2 = in.t2;
        si.fieldmap = fmap;
        si.snx = snx;
        si.sny = sny;
        si.nx = nx;
        si.ny = ny;
        si.nz_full = nz_eff;
        si.bvec = in.bvecs[v];
        si.bval = in.bvals[v];

        for (std::size_t z = 0; z < nz; ++z) {
            const std::size_t zg = opt.slice_z ? (*opt.slice_z)[z] : z;
            // The images and the field map are read at the local slice; everything keyed by
            // position in the whole volume (phase, seeds, noise) uses the global one.
            const std::size_t base = slice_px * z;
            for (std::size_t c = 0; c < ncomp; ++c) {
                const float* src = in.images[c].data();
                float* dst = comp[c].data();
                for (std::size_t i = 0; i < slice_px; ++i) dst[i] = src[nvol * (base + i) + v];
            }
            std::copy_n(in.fieldmap.begin() + static_cast<std::ptrdiff_t>(base), slice_px, fmap.begin());

            const phase::ShotPhase shot = in.phase_model.diffusion.shot(in.bvecs[v], v, zg, in.seed, in.bvals[v]);
            const std::vector<double> phase_map = phase_slice(in.phase_model.coef, shot, snx, sny, o, zg, nz_eff);
            si.phase = phase_map;
            si.z = zg;
            si.seed = ((static_cast<std::uint64_t>(v) * 0x1000001ull + zg) * 0x9e37ull) ^ in.seed;

            const bool captured = std::binary_search(distinct.begin(), distinct.end(), z);
            SliceRecon rec = captured ? simulate_slice_full(si, acq_v, opt.capture[0], opt.capture[1], opt.capture[2])
                                      : simulate_slice_full(si, acq_v, false, false, false);

            for (std::size_t y = 0; y < ny; ++y)
                for (std::size_t x = 0; x < nx; ++x) {
                    const C val = rec.combined[y * nx + x];
                    float re = static_cast<float>(val.re), im = static_cast<float>(val.im);
                    const std::size_t i = x + nx * (y + ny * z);
                    if (in.noise_sigma) {
                        const float sigma = (*in.noise_sigma)[i];
                        if (sigma > 0.0f) {
                            std::uint64_t key = ((static_cast<std::uint64_t>(nx) * (ny * zg + y) + x) *
                                                 0xbf58476d1ce4e5b9ull) ^
                                                (static_cast<std::uint64_t>(v) * rng::kGolden) ^ in.seed;
                            key |= 1ull;
                            const double u1 = rng::uniform_open(rng::stream(key, 1));
                            const double u2 = rng::uniform_open(rng::stream(key, 2));
                            const double u3 = rng::uniform_open(rng::stream(key, 3));
                            const double u4 = rng::uniform_open(rng::stream(key, 4));
                            const double s = static_cast<double>(sigma);
                            re += static_cast<float>(s * rng::normal(u1, u2));
                            im += static_cast<float>(s * rng::normal(u3, u4));
                        }
                    }
                    res.re[i] = re;
                    res.im[i] = im;
                }
            if (captured) res.records.push_back(std::move(rec));
        }
        if (opt.progress) {
            const std::size_t count = done.fetch_add(1) + 1;
            // A failing hook is its owner's affair; the run goes on. A thread being cancelled
            // must unwind, though.
            try {
                opt.progress(count, nvol);
            } catch (const abi::__forced_unwind&) {
                throw;
            } catch (...) {
            }
        }
        return res;
    };
    std::vector<VolumeResult> vols = pool::map<VolumeResult>(nvol, volume);

    AcquisitionOutput out;
    out.re.assign(nvol * acq_px * nz, 0.0f);
    out.im.assign(nvol * acq_px * nz, 0.0f);
    for (std::size_t v = 0; v < nvol; ++v) {
        const std::vector<float>& re = vols[v].re;
        const std::vector<float>& im = vols[v].im;
        for (std::size_t i = 0; i < acq_px * nz; ++i) {
            out.re[nvol * i + v] = re[i];
            out.im[nvol * i + v] = im[i];
        }
    }

    if (!wanted.empty()) {
        KspaceCapture cap;
        const std::size_t nc = std::max<std::size_t>(acq.n_coils, 1);
        cap.slices = wanted;
        cap.nx = nx;
        cap.ny = ny;
        cap.n_coils = nc;
        const std::size_t entries = nvol * wanted.size();
        const std::size_t per_coil = 2 * acq_px;
        cap.combined.reserve(entries * per_coil);
        auto kept = [&](bool flag) {
            std::optional<std::vector<float>> v;
            if (flag) v.emplace().reserve(entries * nc * per_coil);
            return v;
        };
        cap.acquired = kept(opt.capture[0]);
        cap.reconstructed = kept(opt.capture[1]);
        cap.coil_images = kept(opt.capture[2]);
        for (std::size_t v = 0; v < nvol; ++v)
            for (std::size_t e : wanted) {
                // Looked up by slice value, so a repeated entry repeats that slice's data.
                const auto p = static_cast<std::size_t>(std::lower_bound(distinct.begin(), distinct.end(), e) -
                                                        distinct.begin());
                const SliceRecon& rec = vols[v].records[p];
                auto add = [](std::optional<std::vector<float>>& dst, const auto& src) {
                    if (dst && src)
                        for (const auto& coil : *src) append_pairs(*dst, coil);
                };
                add(cap.acquired, rec.acquired);
                add(cap.reconstructed, rec.reconstructed);
                add(cap.coil_images, rec.coil_images);
                append_pairs(cap.combined, rec.combined);
            }
        // One mask and one set of maps serve every slice and volume; without volumes there is no
        // record to take them from, and they do not need one.
        std::vector<std::vector<double>> sens;
        if (nvol > 0) {
            cap.mask = vols[0].records[0].mask;
            sens = std::move(vols[0].records[0].sensitivities);
        } else {
            cap.mask = sampling_mask(nx, ny, acq);
            sens = coil_sensitivities(nx, ny, nc);
        }
        cap.sensitivities.reserve(nc * acq_px);
        for (const auto& m : sens)
            for (double s : m) cap.sensitivities.push_back(static_cast<float>(s));
        out.kspace = std::move(cap);
    }
    return out;
}

}  // namespace quorvel::kspace
