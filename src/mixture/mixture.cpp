#include "mixture/mixture.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <utility>

#include "core/buffer.hpp"
#include "core/error.hpp"
#include "core/pool.hpp"
#include "core/sizes.hpp"
#include "core/text.hpp"
#include "mixture/kernel.hpp"

namespace quorvel::compartments {
namespace {

using raster::Dims;
using raster::Vec3;

// The unit vector along d, or zero for a vector shorter than 1e-12; `norm` gets |u| and `len`
// gets |d|.
Vec3 unit(const Vec3& d, double& norm, double& len) {
    len = std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
    Vec3 u{0.0, 0.0, 0.0};
    if (!(len < 1e-12)) u = {d[0] / len, d[1] / len, d[2] / len};
    norm = std::sqrt((u[0] * u[0] + u[1] * u[1]) + u[2] * u[2]);
    return u;
}

// nvox*nvert float32 cells, refusing a product that does not fit in memory addresses.
std::size_t histogram_cells(std::size_t nvox, std::size_t nvert) {
    const auto n = checked_product({nvox, nvert});
    QV_ASSERT(n && *n <= PTRDIFF_MAX / sizeof(double), "mixture histogram size overflows");
    return *n;
}

// A field with lists of the right sizes, ready for finish_voxel: zeroed, but for the histogram,
// which finish_voxel writes whole. Its pages are not touched before then, so they become resident
// as the voxels are finished, faulted in by the threads that finish them, rather than all at the
// start. Small pages: huge ones, first touched brick by brick, cost the streamline builder several
// times the system time.
mixture::MixtureField start_field(const Dims& dims, const CompartmentParams& params, sphere::HemiSphere sphere) {
    mixture::MixtureField f;
    const std::size_t nvox = dims[0] * dims[1] * dims[2];
    const std::size_t cells = histogram_cells(nvox, sphere.vertices.size());
    f.odf.resize(cells);
    f.wm.assign(nvox, 0.0f);
    f.gm.assign(nvox, 0.0f);
    f.csf.assign(nvox, 0.0f);
    f.fallback.assign(nvox, 0);
    f.sphere = std::move(sphere);
    f.dims = dims;
    f.params = params;
    return f;
}

// Voxel v's normalised fractions and fallback flag, and its float64 row rounded into the
// histogram. The flag reads the float64 row, summed in vertex order, before it is narrowed.
void finish_voxel(std::size_t v, const double* row, const TissueFractions& tissue, mixture::MixtureField& f) {
    const std::size_t nvert = f.nvert();
    float* out = f.odf.data() + v * nvert;
    for (std::size_t j = 0; j < nvert; ++j) out[j] = static_cast<float>(row[j]);
    if (!tissue.mask[v]) return;
    const double wm = tissue.wm[v], gm = tissue.gm[v], csf = tissue.csf[v];
    const double s = (wm + gm) + csf;
    if (s <= 1e-9) return;
    const double wn = wm / s;
    f.wm[v] = static_cast<float>(wn);
    f.gm[v] = static_cast<float>(gm / s);
    f.csf[v] = static_cast<float>(csf / s);
    double sum = 0.0;
    for (std::size_t j = 0; j < nvert; ++j) sum += row[j];
    f.fallback[v] = (wn > 0.0 && sum < 1e-12) ? 1 : 0;
}

// ---- the streamline builder's work split ----
//
// Voxels are owned by bricks (boxes of whole voxels). Each brick accumulates its rows in a
// float64 scratch of its own size, in exactly the order of the serial loop (streamlines, then
// segments, then pieces, then vertices), narrows them into the result and reuses the scratch for
// its next brick: one brick scratch per thread, never a float64 copy of the histogram.
// Bricks are deposited in index order, a run of them at a time; between runs, the points of the
// streamlines that reach no later brick are dropped and their pages given back to the system, so
// that the points held shrink as the histogram fills (HeldPoints).
// A brick learns which segments reach it from a list of segment references (the index of the
// segment's first point), gathered in streamline order by a count pass and a fill pass over
// fixed chunks of streamlines; the lists are built for as many consecutive bricks at a time as
// a memory budget allows.

struct Bricks {
    Dims dims;   // grid voxels per axis
    Dims size;   // voxels per brick per axis
    Dims count;  // bricks per axis

    std::size_t n() const { return count[0] * count[1] * count[2]; }
    std::size_t index(const Dims& b) const { return b[0] + count[0] * (b[1] + count[1] * b[2]); }
    Dims coords(std::size_t i) const { return {i % count[0], i / count[0] % count[1], i / count[0] / count[1]}; }
};

// Bricks of at most max_voxels voxels, as near to cubes as halving the longest side makes them:
// a segment near a face is rasterised, and its kernel evaluated, once for each brick it reaches.
Bricks plan_bricks(const Dims& dims, std::size_t max_voxels) {
    Bricks b{dims, dims, {1, 1, 1}};
    while (b.size[0] * b.size[1] * b.size[2] > std::max<std::size_t>(max_voxels, 1)) {
        const auto axis = static_cast<std::size_t>(std::max_element(b.size.begin(), b.size.end()) - b.size.begin());
        b.size[axis] = (b.size[axis] + 1) / 2;
    }
    for (int a = 0; a < 3; ++a) b.count[a] = b.size[a] == 0 ? 0 : (dims[a] + b.size[a] - 1) / b.size[a];
    return b;
}

struct Streamlines {
    const raster::Grid& grid;
    raster::VoxelMap map;
    std::vector<Vec3> points;  // the points given, then only those of streamlines still needed
    std::span<const std::uint32_t> offsets;
    std::optional<std::span<const float>> weights;
    std::size_t n_points;                // points given: the bound of every offset
    std::vector<std::uint32_t> moved;    // how far towards the front streamline s's points now lie
    std::vector<std::size_t> end;        // 1 + the last brick streamline s reaches, 0 for none

    std::size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
    double weight(std::size_t s) const {
        return (weights && s < weights->size()) ? static_cast<double>((*weights)[s]) : 1.0;
    }
    // Point i (an index into the points given) of streamline s.
    const Vec3& point(std::size_t s, std::size_t i) const { return points[i - moved[s]]; }
};

// The bricks that segment (a, b) of voxel coordinates can reach, as a box [lo, hi] of brick
// coordinates; false when it reaches none. The rasteriser places a piece at floor(a + t*(b - a)),
// which can round an ulp beyond the endpoints: the box is widened by far more than that.
bool brick_box(const Bricks& bricks, const Vec3& a, const Vec3& b, Dims& lo, Dims& hi) {
    for (int ax = 0; ax < 3; ++ax) {
        if (!std::isfinite(a[ax]) || !std::isfinite(b[ax])) return false;
        const double margin = 1e-9 * (1.0 + std::abs(a[ax]) + std::abs(b[ax]));
        const double l = std::floor(std::min(a[ax], b[ax]) - margin);
        const double h = std::floor(std::max(a[ax], b[ax]) + margin);
        const double n = static_cast<double>(bricks.dims[ax]);
        if (h < 0.0 || l >= n) return false;
        lo[ax] = static_cast<std::size_t>(std::max(l, 0.0)) / bricks.size[ax];
        hi[ax] = static_cast<std::size_t>(std::min(h, n - 1.0)) / bricks.size[ax];
    }
    return true;
}

// Calls f(i, brick) for every segment (p_i, p_i+1) of streamline s that can deposit and every
// brick it can reach, in segment order. The same segments the serial loop skips are skipped.
template <class F>
void for_each_segment_brick(const Streamlines& in, const Bricks& bricks, std::size_t s, F&& f) {
    if (in.weight(s) == 0.0) return;
    const std::size_t begin = in.offsets[s], end = in.offsets[s + 1];
    if (end - begin < 2) return;
    std::optional<Vec3> a = in.map(in.point(s, begin));
    for (std::size_t i = begin; i + 1 < end; ++i) {
        const std::optional<Vec3> b = in.map(in.point(s, i + 1));
        const Vec3 &p0 = in.point(s, i), &p1 = in.point(s, i + 1);
        double norm = 0.0, len = 0.0;
        unit({p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]}, norm, len);
        Dims lo{}, hi{};
        if (a && b && !(norm < 0.5) && brick_box(bricks, *a, *b, lo, hi))
            for (std::size_t z = lo[2]; z <= hi[2]; ++z)
                for (std::size_t y = lo[1]; y <= hi[1]; ++y)
                    for (std::size_t x = lo[0]; x <= hi[0]; ++x) f(i, bricks.index({x, y, z}));
        a = b;
    }
}

// Segment references, chunk by chunk: chunk c covers streamlines [first(c), first(c + 1)).
// Matrices are chunk-major (row c, column brick) so a chunk's task writes only its own row.
struct RefTable {
    std::size_t n_chunks, n_bricks, n_streamlines;
    std::vector<std::size_t> count;  // references of (chunk, brick)
    std::vector<std::size_t> start;  // their position, in brick-major then chunk order
    std::vector<std::size_t> filled;  // how many the fill pass wrote

    std::size_t first(std::size_t c) const { return c * n_streamlines / n_chunks; }
    std::size_t at(std::size_t c, std::size_t b) const { return c * n_bricks + b; }
};

// What one thread needs to deposit a brick, set up once per thread and reused brick after brick.
struct BrickScratch {
    std::vector<double> rows;  // the brick's float64 rows
    std::vector<double> ts;
    std::vector<raster::SegmentHit> hits;
    OrientationKernel kernel;

    BrickScratch(std::size_t cells, const sphere::HemiSphere& sphere, std::optional<double> kappa)
        : rows(cells), kernel(sphere, kappa) {
        ts.reserve(16);
        hits.reserve(16);
    }
};

// One brick's deposit: its rows zeroed, every referenced segment rasterised again and its
// pieces inside the brick added in order, then the rows finished into the field.
struct BrickWork {
    const Streamlines& in;
    const Bricks& bricks;
    const RefTable& refs;
    const std::vector<std::uint32_t>& list;  // references of the current group of bricks
    std::size_t list_base;                   // position of list[0] in the whole order
    const TissueFractions& tissue;
    double area;
    mixture::MixtureField& field;

    void operator()(std::size_t brick, BrickScratch& scratch) const {
        const std::size_t nvert = field.nvert();
        const Dims bc = bricks.coords(brick);
        Dims lo{}, ext{};
        for (int a = 0; a < 3; ++a) {
            lo[a] = bc[a] * bricks.size[a];
            ext[a] = std::min(bricks.size[a], bricks.dims[a] - lo[a]);
        }
        const std::size_t nx = bricks.dims[0], ny = bricks.dims[1];
        double* rows = scratch.rows.data();
        std::fill_n(rows, ext[0] * ext[1] * ext[2] * nvert, 0.0);

        for (std::size_t c = 0; c < refs.n_chunks; ++c) {
            const std::size_t r0 = refs.start[refs.at(c, brick)] - list_base;
            const std::size_t r1 = r0 + refs.filled[refs.at(c, brick)];
            std::size_t s = refs.first(c);
            const std::size_t s_end = refs.first(c + 1);
            for (std::size_t r = r0; r < r1; ++r) {
                const std::size_t i = list[r];
                // References ascend, so the streamline holding segment i is found by moving on.
                if (i + 1 >= in.offsets[s + 1])
                    s = static_cast<std::size_t>(std::upper_bound(in.offsets.begin() + s + 1,
                                                                  in.offsets.begin() + s_end + 1, i) -
                                                 in.offsets.begin()) - 1;
                const Vec3 &p0 = in.point(s, i), &p1 = in.point(s, i + 1);
                double norm = 0.0, len = 0.0;
                const Vec3 u = unit({p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]}, norm, len);
                const auto a = in.map(p0), b = in.map(p1);
                if (!a || !b) continue;
                in.grid.intersect_voxels_into(*a, *b, len, scratch.ts, scratch.hits);
                const double w = in.weight(s);
                bool have_kernel = false;
                for (const raster::SegmentHit& h : scratch.hits) {
                    const Dims& v = h.voxel;
                    if (v[0] < lo[0] || v[0] >= lo[0] + ext[0] || v[1] < lo[1] || v[1] >= lo[1] + ext[1] ||
                        v[2] < lo[2] || v[2] >= lo[2] + ext[2])
                        continue;
                    if (!have_kernel) {
                        scratch.kernel.set(u);
                        have_kernel = true;
                    }
                    const std::size_t local = (v[0] - lo[0]) + ext[0] * ((v[1] - lo[1]) + ext[1] * (v[2] - lo[2]));
                    scratch.kernel.deposit(rows + local * nvert, (h.length * w) * area);
                }
            }
        }
        for (std::size_t z = 0; z < ext[2]; ++z)
            for (std::size_t y = 0; y < ext[1]; ++y)
                for (std::size_t x = 0; x < ext[0]; ++x) {
                    const std::size_t local = x + ext[0] * (y + ext[1] * z);
                    const std::size_t vox = (lo[0] + x) + nx * ((lo[1] + y) + ny * (lo[2] + z));
                    finish_voxel(vox, rows + local * nvert, tissue, field);
                }
    }
};

// The points the build holds: those of every streamline still to be deposited in a brick not yet
// done. Each chunk of streamlines keeps its points inside its own stretch of the point list, so
// chunks drop theirs in parallel: the remaining points move to the front of the stretch, in order,
// and the pages of the rest go back to the system.
class HeldPoints {
public:
    HeldPoints(Streamlines& in, const RefTable& refs, std::size_t n_bricks)
        : in_(in), refs_(refs), needed_(n_bricks + 1, 0), held_end_(refs.n_chunks), held_(in.n_points) {
        // needed_[b]: points of the streamlines that reach brick b or a later one.
        for (std::size_t s = 0; s < in.size(); ++s)
            if (in.end[s] > 0) needed_[in.end[s] - 1] += in.offsets[s + 1] - in.offsets[s];
        for (std::size_t b = n_bricks; b-- > 0;) needed_[b] += needed_[b + 1];
        for (std::size_t c = 0; c < refs.n_chunks; ++c) held_end_[c] = in.offsets[refs.first(c + 1)];
    }

    // Whether the bricks before b leave at least a quarter of the held points unneeded: what is
    // held then stays below 4/3 of what is still needed, and every drop shrinks it by a quarter
    // or more, so that all drops together move at most three times the points given.
    bool worth_dropping(std::size_t b) const { return held_ > needed_[b] && 4 * (held_ - needed_[b]) >= held_; }

    // Drops the points of every streamline that reaches no brick from b on; they are never read again.
    void drop_before(std::size_t b) {
        pool::for_each_index(refs_.n_chunks, [&](std::size_t c) {
            std::size_t to = in_.offsets[refs_.first(c)];
            for (std::size_t s = refs_.first(c); s < refs_.first(c + 1); ++s) {
                if (in_.end[s] <= b) continue;
                const std::size_t from = in_.offsets[s] - in_.moved[s], n = in_.offsets[s + 1] - in_.offsets[s];
                if (from != to) std::memmove(in_.points.data() + to, in_.points.data() + from, n * sizeof(Vec3));
                in_.moved[s] = static_cast<std::uint32_t>(in_.offsets[s] - to);
                to += n;
            }
            release_pages(in_.points.data() + to, (held_end_[c] - to) * sizeof(Vec3));
            held_end_[c] = to;
        });
        held_ = needed_[b];
    }

private:
    Streamlines& in_;
    const RefTable& refs_;
    std::vector<std::size_t> needed_;
    std::vector<std::size_t> held_end_;  // end of the points chunk c holds
    std::size_t held_;
};

// Brick scratch over all threads and the reference lists held at once stay within a sixteenth
// and an eighth of the float32 histogram, but are allowed 16 MB and 4 MB on any grid, so that small
// grids are neither cut into slivers nor scanned over and over.
constexpr std::size_t kMinScratchBytes = std::size_t{16} << 20;
constexpr std::size_t kMinRefBytes = std::size_t{4} << 20;
// A typical per-core L2 cache.
constexpr std::size_t kBrickBytes = std::size_t{1} << 20;

}  // namespace

mixture::MixtureField generate_mixture(const raster::Grid& grid, std::vector<raster::Vec3> positions,
                                       std::span<const std::uint32_t> offsets,
                                       std::optional<std::span<const float>> weights, const TissueFractions& tissue,
                                       const CompartmentParams& params, std::optional<double> kappa,
                                       sphere::HemiSphere sphere) {
    const Dims dims = grid.dims;
    const std::size_t nvox = grid.nvox();
    const std::size_t nvert = sphere.vertices.size();
    QV_ASSERT(tissue.wm.size() == nvox && tissue.gm.size() == nvox && tissue.csf.size() == nvox &&
                  tissue.mask.size() == nvox,
              "tissue fractions do not hold one value per grid voxel");
    const std::size_t n_points = positions.size();
    for (std::size_t s = 0; s + 1 < offsets.size(); ++s)
        QV_ASSERT(offsets[s] <= offsets[s + 1] && offsets[s + 1] <= n_points,
                  "streamline " + std::to_string(s) + " lies outside the point list");
    mixture::MixtureField field = start_field(dims, params, std::move(sphere));
    if (nvox == 0) return field;
    const double r = params.fiber_radius_mm;
    const double area = (std::numbers::pi * r) * r;
    Streamlines in{grid, raster::VoxelMap(grid), std::move(positions), offsets, weights, n_points, {}, {}};
    in.moved.assign(in.size(), 0);
    in.end.assign(in.size(), 0);

    const std::size_t threads = pool::current_threads();
    const std::size_t odf_bytes = field.odf.size() * sizeof(float);
    const std::size_t scratch_budget = std::max(odf_bytes / 16, kMinScratchBytes);
    const std::size_t ref_budget = std::max(odf_bytes / 8, kMinRefBytes) / sizeof(std::uint32_t);
    // A brick's rows fit in a core's own cache while it deposits (which outweighs the segments
    // rasterised and kernels evaluated twice at the more numerous brick faces), all threads' bricks
    // fit the scratch budget, and there are enough bricks for every thread to find work while
    // some are heavier than the rest.
    const std::size_t row_bytes = std::max<std::size_t>(nvert, 1) * sizeof(double);
    const Bricks bricks = plan_bricks(dims, std::min({kBrickBytes / row_bytes, scratch_budget / (threads * row_bytes),
                                                      (nvox + 4 * threads - 1) / (4 * threads)}));
    const std::size_t nb = bricks.n();

    RefTable refs{std::min<std::size_t>(in.size(), 256), nb, in.size(), {}, {}, {}};
    refs.count.assign(refs.n_chunks * nb, 0);
    pool::for_each_index(refs.n_chunks, [&](std::size_t c) {
        std::size_t* row = refs.count.data() + c * nb;
        for (std::size_t s = refs.first(c); s < refs.first(c + 1); ++s)
            for_each_segment_brick(in, bricks, s, [&](std::size_t, std::size_t b) {
                ++row[b];
                in.end[s] = std::max(in.end[s], b + 1);
            });
    });
    HeldPoints held(in, refs, nb);
    if (held.worth_dropping(0)) held.drop_before(0);
    refs.start.assign(refs.n_chunks * nb, 0);
    refs.filled.assign(refs.n_chunks * nb, 0);
    std::vector<std::size_t> brick_first(nb + 1, 0);
    for (std::size_t b = 0, pos = 0; b < nb; ++b) {
        brick_first[b] = pos;
        for (std::size_t c = 0; c < refs.n_chunks; ++c) {
            refs.start[refs.at(c, b)] = pos;
            pos += refs.count[refs.at(c, b)];
        }
        brick_first[b + 1] = pos;
    }

    // Groups of consecutive bricks whose references fit the budget (a single brick may exceed it).
    std::size_t largest = 0;
    std::vector<std::size_t> group_first{0};
    for (std::size_t b = 0; b < nb; ++b) {
        const std::size_t g0 = group_first.back();
        if (b > g0 && brick_first[b + 1] - brick_first[g0] > ref_budget) group_first.push_back(b);
    }
    group_first.push_back(nb);
    for (std::size_t g = 0; g + 1 < group_first.size(); ++g)
        largest = std::max(largest, brick_first[group_first[g + 1]] - brick_first[group_first[g]]);
    std::vector<std::uint32_t> list(largest);
    const std::size_t brick_cells = bricks.size[0] * bricks.size[1] * bricks.size[2] * nvert;
    pool::PerThread<BrickScratch> scratch([&] { return BrickScratch(brick_cells, field.sphere, kappa); });

    // Runs of bricks end where dropping points pays, and hold enough bricks to keep every thread busy.
    const std::size_t run = 4 * threads;
    for (std::size_t g = 0; g + 1 < group_first.size(); ++g) {
        const std::size_t g0 = group_first[g], g1 = group_first[g + 1];
        const std::size_t base = brick_first[g0];
        pool::for_each_index(refs.n_chunks, [&](std::size_t c) {
            const std::size_t* count = refs.count.data() + c * nb;
            const std::size_t* start = refs.start.data() + c * nb;
            std::size_t* filled = refs.filled.data() + c * nb;
            for (std::size_t s = refs.first(c); s < refs.first(c + 1); ++s)
                if (in.end[s] > g0)  // the points of the others may be gone
                    for_each_segment_brick(in, bricks, s, [&](std::size_t i, std::size_t b) {
                        // Never past the counted slots.
                        if (b >= g0 && b < g1 && filled[b] < count[b])
                            list[start[b] - base + filled[b]++] = static_cast<std::uint32_t>(i);
                    });
        });
        const BrickWork work{in, bricks, refs, list, base, tissue, area, field};
        for (std::size_t b0 = g0, b1 = g0; b0 < g1; b0 = b1) {
            b1 = std::min(b0 + run, g1);
            while (b1 < g1 && !held.worth_dropping(b1)) b1 = std::min(b1 + run, g1);
            pool::for_each_index(b1 - b0, [&](std::size_t k) { work(b0 + k, scratch.local()); });
            if (b1 < nb && held.worth_dropping(b1)) held.drop_before(b1);
        }
    }
    return field;
}

mixture::MixtureField mixture_from_fibers(const std::array<std::size_t, 3>& dims,
                                          std::span<const std::uint32_t> voxel,
                                          std::span<const raster::Vec3> dirs, std::span<const double> weight,
                                          const TissueFractions& tissue, const CompartmentParams& params,
                                          std::optional<double> kappa, sphere::HemiSphere sphere) {
    QV_ASSERT(voxel.size() == dirs.size() && voxel.size() == weight.size(),
              "fibre lists must have equal lengths");
    QV_ASSERT(tissue.dims == dims, "tissue fractions are not on the requested grid");
    const std::size_t nvox = dims[0] * dims[1] * dims[2];
    const std::size_t nvert = sphere.vertices.size();
    std::vector<double> acc(histogram_cells(nvox, nvert), 0.0);
    OrientationKernel kernel(sphere, kappa);
    for (std::size_t e = 0; e < voxel.size(); ++e) {
        const std::size_t v = voxel[e];
        QV_ASSERT(v < nvox, "fibre voxel index " + std::to_string(v) + " out of range for " + debug_list(dims));
        const double w = weight[e];
        double norm = 0.0, len = 0.0;
        const Vec3 u = unit(dirs[e], norm, len);
        if (w == 0.0 || norm < 0.5) continue;
        kernel.set(u);
        kernel.deposit(acc.data() + v * nvert, w);
    }
    mixture::MixtureField field = start_field(dims, params, std::move(sphere));
    for (std::size_t v = 0; v < nvox; ++v) finish_voxel(v, acc.data() + v * nvert, tissue, field);
    return field;
}

}  // namespace quorvel::compartments
