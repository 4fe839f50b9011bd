#include "signal/motion.hpp"

#include <algorithm>
#include <cmath>

#include "core/error.hpp"
#include "core/sizes.hpp"
#include "core/mat3.hpp"
#include "core/rng.hpp"

namespace quorvel::motion {
namespace {

using Mat3 = std::array<std::array<double, 3>, 3>;

constexpr double kDegToRad = 0.017453292519943295;  // pi / 180

Mat3 mul(const Mat3& a, const Mat3& b) {
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
    return r;
}

// Right-handed rotation R = Rz(c)*Ry(b)*Rx(a) of a pose.
Mat3 rotation(const Vec3& rot_deg) {
    const double a = rot_deg[0] * kDegToRad, b = rot_deg[1] * kDegToRad, c = rot_deg[2] * kDegToRad;
    const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b);
    const double cc = std::cos(c), sc = std::sin(c);
    const Mat3 rx{{{1.0, 0.0, 0.0}, {0.0, ca, -sa}, {0.0, sa, ca}}};
    const Mat3 ry{{{cb, 0.0, sb}, {0.0, 1.0, 0.0}, {-sb, 0.0, cb}}};
    const Mat3 rz{{{cc, -sc, 0.0}, {sc, cc, 0.0}, {0.0, 0.0, 1.0}}};
    return mul(mul(rz, ry), rx);
}

bool same_pose(const Pose& a, const Pose& b) { return a.rot_deg == b.rot_deg && a.trans_mm == b.trans_mm; }

}  // namespace

Mat4 Pose::to_matrix(const Vec3& center) const {
    const Mat3 r = rotation(rot_deg);
    Mat4 m{};
    for (int i = 0; i < 3; ++i) {
        const double rc = r[i][0] * center[0] + r[i][1] * center[1] + r[i][2] * center[2];
        for (int j = 0; j < 3; ++j) m[4 * i + j] = r[i][j];
        // Rotate about the centre, then shift.
        m[4 * i + 3] = center[i] - rc + trans_mm[i];
    }
    m[15] = 1.0;
    return m;
}

bool Pose::is_zero() const {
    for (int i = 0; i < 3; ++i)
        if (rot_deg[i] != 0.0 || trans_mm[i] != 0.0) return false;
    return true;
}

Vec3 fov_center(const Dims& dims, const std::array<double, 16>& affine) {
    // Voxel centres sit on integer coordinates; an empty axis gives -0.5.
    const Vec3 h{(static_cast<double>(dims[0]) - 1.0) / 2.0, (static_cast<double>(dims[1]) - 1.0) / 2.0,
                 (static_cast<double>(dims[2]) - 1.0) / 2.0};
    Vec3 c{};
    for (int r = 0; r < 3; ++r)
        c[r] = affine[4 * r] * h[0] + affine[4 * r + 1] * h[1] + affine[4 * r + 2] * h[2] + affine[4 * r + 3];
    return c;
}

std::vector<Pose> resolve_poses(const MotionMode& mode, std::size_t n_units, std::uint64_t seed) {
    std::vector<Pose> poses(n_units);
    switch (mode.kind) {
        case MotionKind::Off:
            break;
        case MotionKind::Random: {
            // A sequential SplitMix64 generator: the draws depend on the order of the listed
            // units, not on their indices.
            std::uint64_t state = seed + 0x12345678ull;
            auto draw = [&state] {
                state += rng::kGolden;
                return rng::uniform_closed_open(rng::mix(state));
            };
            auto spread = [](double u, double amp) { return u * 2.0 * amp - amp; };
            for (std::size_t v : mode.volumes) {
                if (v >= n_units) continue;
                Pose p;
                for (int i = 0; i < 3; ++i) p.rot_deg[i] = spread(draw(), mode.rot_deg[i]);
                for (int i = 0; i < 3; ++i) p.trans_mm[i] = spread(draw(), mode.trans_mm[i]);
                poses[v] = p;
            }
            break;
        }
        case MotionKind::Linear: {
            const double n = static_cast<double>(std::max<std::size_t>(mode.volumes.size(), 1));
            std::vector<bool> marked(n_units, false);
            for (std::size_t v : mode.volumes)
                if (v < n_units) marked[v] = true;
            std::size_t k = 0;
            for (std::size_t u = 0; u < n_units; ++u) {
                if (marked[u]) ++k;
                const double f = static_cast<double>(k) / n;
                for (int i = 0; i < 3; ++i) {
                    poses[u].rot_deg[i] = f * mode.rot_deg[i];
                    poses[u].trans_mm[i] = f * mode.trans_mm[i];
                }
            }
            break;
        }
        case MotionKind::Trajectory:
            std::copy_n(mode.poses.begin(), std::min(n_units, mode.poses.size()), poses.begin());
            break;
    }
    return poses;
}

std::uint64_t dropout_seed(std::uint64_t run_seed) { return (run_seed * rng::kGolden) ^ 0xb10c5eedull; }

std::vector<MotionEvent> dropout_events(std::span<const double> bvals, std::size_t n_shots,
                                        std::uint64_t seed, double rate) {
    std::vector<MotionEvent> events;
    const std::uint64_t shots = std::max<std::size_t>(n_shots, 1);
    for (std::size_t v = 0; v < bvals.size(); ++v) {
        if (bvals[v] < 50.0) continue;  // unweighted volumes are spared
        // One hash per volume; every quantity below reads its own bit range of it.
        const std::uint64_t h = rng::mix(((static_cast<std::uint64_t>(v) * 0x1000001ull) ^ seed) + rng::kGolden);
        const double ratio = static_cast<double>(h % 100000) / 100000.0;
        if (ratio >= rate) continue;
        MotionEvent e;
        e.volume = v;
        e.shot = static_cast<std::size_t>((h >> 20) % shots);
        const double s = static_cast<double>((h >> 45) % 20) / 10.0 + 1.0;
        e.severity = static_cast<float>((h >> 33) % 40) / 100.0f + 0.6f;
        e.jump_mm = {0.3 * s, s, 0.2 * s};
        e.jump_deg = {0.5, 0.3, 0.2};
        events.push_back(e);
    }
    return events;
}

std::vector<float> resample_by_pose(std::span<const float> vol, const Dims& dims, const raster::Grid& grid,
                                    const Pose& pose) {
    std::vector<float> out(vol.size());
    resample_by_pose_into(vol, dims, grid, pose, out);
    return out;
}

void resample_by_pose_into(std::span<const float> vol, const Dims& dims, const raster::Grid& grid,
                           const Pose& pose, std::span<float> out) {
    const std::size_t nx = dims[0], ny = dims[1], nz = dims[2];
    QV_ASSERT(vol.size() == nx * ny * nz, "resample_by_pose: volume length does not match its dims");
    QV_ASSERT(out.size() == vol.size(), "resample_by_pose: output length does not match the volume");
    const auto& m = grid.affine;
    const mat3::Mat3 a = mat3::linear_part(m);
    const double det = mat3::det(a);
    if (pose.is_zero() || std::abs(det) < raster::kMinAffineDet) {
        std::copy(vol.begin(), vol.end(), out.begin());
        return;
    }

    const Vec3 ctr = fov_center(dims, m);
    const Mat4 mm = pose.to_matrix(ctr);
    const mat3::Mat3 adj = mat3::adjugate(a);
    std::size_t idx = 0;
    for (std::size_t z = 0; z < nz; ++z) {
        for (std::size_t y = 0; y < ny; ++y) {
            for (std::size_t x = 0; x < nx; ++x, ++idx) {
                const double vx = static_cast<double>(x), vy = static_cast<double>(y), vz = static_cast<double>(z);
                Vec3 w{};
                for (int r = 0; r < 3; ++r)
                    w[r] = m[4 * r] * vx + m[4 * r + 1] * vy + m[4 * r + 2] * vz + m[4 * r + 3] - ctr[r] -
                           pose.trans_mm[r];
                // The output shows what was at M^-1 of its position: s = R^T (w - c - T) + c.
                Vec3 q{};
                for (int r = 0; r < 3; ++r)
                    q[r] = mm[r] * w[0] + mm[4 + r] * w[1] + mm[8 + r] * w[2] + ctr[r] - m[4 * r + 3];
                out[idx] = trilinear(vol, dims, mat3::solve(adj, det, q));
            }
        }
    }
}

namespace {

// The multiband schedule of n slices, evaluated on demand rather than listed, so that the
// slice count of a tall full stack costs nothing: shot s excites group group_of(s), which holds
// the slices g + k*G (k < m), or every slice when m exceeds n.
class Schedule {
public:
    Schedule(std::size_t n, std::size_t mb, bool interleaved)
        : n_(n), m_(std::max<std::size_t>(mb, 1)), interleaved_(interleaved), groups_(m_ > n ? 1 : n / m_),
          evens_(groups_ / 2 + groups_ % 2) {}  // not (G + 1) / 2, which wraps at G = 2^64 - 1

    std::size_t shots() const { return groups_; }

    // The slices of a shot, ascending.
    std::vector<std::size_t> slices(std::size_t shot) const {
        std::vector<std::size_t> out(m_ > n_ ? n_ : m_);
        for (std::size_t k = 0; k < out.size(); ++k) out[k] = m_ > n_ ? k : group_of(shot) + k * groups_;
        return out;
    }

    // The shot that excites slice z; none for the slices m*G .. n-1 that belong to no group.
    std::optional<std::size_t> shot_of(std::size_t z) const {
        if (m_ > n_) return z < n_ ? std::optional<std::size_t>(0) : std::nullopt;
        if (z >= m_ * groups_) return std::nullopt;
        const std::size_t g = z % groups_;
        if (!interleaved_) return g;
        return g % 2 == 0 ? g / 2 : evens_ + g / 2;
    }

private:
    // Interleaved order: the even group numbers first, then the odd ones.
    std::size_t group_of(std::size_t shot) const {
        if (!interleaved_) return shot;
        return shot < evens_ ? 2 * shot : 2 * (shot - evens_) + 1;
    }

    std::size_t n_, m_;
    bool interleaved_;
    std::size_t groups_, evens_;
};

}  // namespace

std::vector<std::vector<std::size_t>> slice_schedule(std::size_t nz, std::size_t mb, bool interleaved) {
    const Schedule schedule(nz, mb, interleaved);
    std::vector<std::vector<std::size_t>> groups(schedule.shots());
    for (std::size_t s = 0; s < groups.size(); ++s) groups[s] = schedule.slices(s);
    return groups;
}

MultibandPlan plan_multiband_motion(const Dims& dims, std::size_t ngrad, std::size_t n_images, std::size_t mb,
                                    bool interleaved, std::span<const double> bvals,
                                    std::span<const MotionEvent> events,
                                    std::optional<std::span<const std::size_t>> slice_z,
                                    std::optional<std::size_t> nz_full, double b_max) {
    const std::size_t nz = dims[2];
    if (slice_z && slice_z->size() != nz) throw InvalidInput("slice_z must name every local slice");
    const std::size_t n_sched = nz_full.value_or(nz);
    const Schedule schedule(n_sched, mb, interleaved);
    const std::size_t n_shots = schedule.shots();

    MultibandPlan plan;
    for (const MotionEvent& e : events)
        if (e.volume < ngrad && e.shot < n_shots) plan.events.push_back(e);
    // Volume by volume, as the images are visited; no loop runs over the volumes without events,
    // whose count costs nothing however large.
    std::stable_sort(plan.events.begin(), plan.events.end(),
                     [](const MotionEvent& a, const MotionEvent& b) { return a.volume < b.volume; });

    // Every dropped shot lists its whole group; refuse lists that could not be held.
    const std::size_t group = std::min(std::max<std::size_t>(mb, 1), n_sched);
    const auto listed = checked_product({plan.events.size(), group});
    if (!listed || *listed > kMaxListedSlices)
        throw InvalidInput("mb " + std::to_string(mb) + " on " + std::to_string(n_sched) + " slices makes groups of " +
                           std::to_string(group) + " slices: " + std::to_string(plan.events.size()) +
                           " dropped shots would list more than " + std::to_string(kMaxListedSlices) + " slices");

    for (const MotionEvent& e : plan.events) {
        const std::size_t v = e.volume;
        // Written so that a NaN b_max, like a NaN b-value, reaches the gain instead of sparing it.
        const bool weighted = !(b_max <= 0.0) && v < bvals.size() && !(bvals[v] < 50.0);
        const float ratio = weighted ? static_cast<float>(bvals[v] / b_max) : 0.0f;
        const float gain = weighted ? 1.0f - ratio * e.severity : 1.0f;
        plan.dropped.push_back({v, e.shot, schedule.slices(e.shot), gain});
    }

    // (shot, local slice) of every local slice some shot excites, ordered by shot; only needed
    // when some voxel is written (nz may be huge on a grid without voxels). A slice listed twice
    // in slice_z belongs to its first position only.
    if (plan.events.empty() || n_images == 0 || dims[0] == 0 || dims[1] == 0) return plan;
    if (slice_z) {
        std::vector<std::pair<std::size_t, std::size_t>> firsts;  // (full-stack slice, local slice)
        firsts.reserve(nz);
        for (std::size_t z = 0; z < nz; ++z) firsts.emplace_back((*slice_z)[z], z);
        std::sort(firsts.begin(), firsts.end());
        for (std::size_t i = 0; i < firsts.size(); ++i) {
            if (i > 0 && firsts[i].first == firsts[i - 1].first) continue;
            if (const auto shot = schedule.shot_of(firsts[i].first)) plan.local.emplace_back(*shot, firsts[i].second);
        }
    } else {
        for (std::size_t z = 0; z < nz; ++z)
            if (const auto shot = schedule.shot_of(z)) plan.local.emplace_back(*shot, z);
    }
    std::sort(plan.local.begin(), plan.local.end());
    return plan;
}

namespace {

// The head stays where a jump left it: a shot sees the sum of every jump of its volume so far.
Pose pose_at(std::span<const MotionEvent> volume_events, std::size_t shot) {
    Pose p;
    for (const MotionEvent& e : volume_events) {
        if (e.shot > shot) continue;
        for (int k = 0; k < 3; ++k) {
            p.rot_deg[k] += e.jump_deg[k];
            p.trans_mm[k] += e.jump_mm[k];
        }
    }
    return p;
}

}  // namespace

void apply_multiband_plan(std::span<compartments::Image> images, const Dims& dims, std::size_t ngrad,
                          const raster::Grid& grid, const MultibandPlan& plan, std::span<float> vol,
                          std::span<float> moved) {
    const std::size_t nxy = dims[0] * dims[1], nvox = nxy * dims[2];
    for (const auto& img : images)
        QV_ASSERT(img.size() == nvox * ngrad, "compartment image length is not nvox*ngrad");
    if (plan.local.empty()) return;  // no voxel is excited by any shot
    QV_ASSERT(vol.size() == nvox && moved.size() == nvox, "motion scratch is not one volume long");
    const auto& local = plan.local;
    auto local_slices_of = [&](std::size_t shot) {
        return std::equal_range(local.begin(), local.end(), std::pair<std::size_t, std::size_t>{shot, 0},
                                [](const auto& a, const auto& b) { return a.first < b.first; });
    };

    const std::span<const MotionEvent> all(plan.events);
    for (std::size_t first = 0, last = 0; first < all.size(); first = last) {
        const std::size_t v = all[first].volume;
        while (last < all.size() && all[last].volume == v) ++last;
        const auto evs = all.subspan(first, last - first);

        bool any_moved = false;
        for (std::size_t i = 0; i < local.size() && !any_moved; ++i)
            any_moved = !pose_at(evs, local[i].first).is_zero();
        if (any_moved) {
            for (auto& img : images) {
                for (std::size_t i = 0; i < nvox; ++i) vol[i] = img[i * ngrad + v];
                // Consecutive shots mostly share a pose; resample once per distinct pose.
                std::optional<Pose> moved_pose;
                for (std::size_t i = 0; i < local.size(); ++i) {
                    const Pose p = pose_at(evs, local[i].first);
                    if (p.is_zero()) continue;
                    if (!moved_pose || !same_pose(*moved_pose, p)) {
                        resample_by_pose_into(vol, dims, grid, p, moved);
                        moved_pose = p;
                    }
                    const std::size_t z = local[i].second;
                    for (std::size_t k = z * nxy; k < (z + 1) * nxy; ++k) img[k * ngrad + v] = moved[k];
                }
            }
        }

        // Motion first, then the attenuation of each event in list order.
        for (std::size_t e = first; e < last; ++e) {
            const float gain = plan.dropped[e].attenuation;
            const auto [lo, hi] = local_slices_of(all[e].shot);
            for (auto& img : images)
                for (auto it = lo; it != hi; ++it)
                    for (std::size_t k = it->second * nxy; k < (it->second + 1) * nxy; ++k) img[k * ngrad + v] *= gain;
        }
    }
}

float trilinear(std::span<const float> vol, const std::array<std::size_t, 3>& dims,
                const std::array<double, 3>& p) {
    std::array<std::size_t, 3> i0{}, i1{};
    std::array<double, 3> f{};
    for (int a = 0; a < 3; ++a) {
        if (dims[a] == 0) return 0.0f;
        // Written so that a NaN coordinate also lands outside.
        if (!(p[a] >= 0.0) || p[a] > static_cast<double>(dims[a] - 1)) return 0.0f;
        const double fl = std::floor(p[a]);
        i0[a] = static_cast<std::size_t>(fl);
        i1[a] = std::min(dims[a] - 1, i0[a] + 1);
        f[a] = p[a] - fl;
    }
    const std::size_t nx = dims[0], nxy = dims[0] * dims[1];
    auto at = [&](std::size_t x, std::size_t y, std::size_t z) {
        return static_cast<double>(vol[x + nx * y + nxy * z]);
    };
    auto lerp = [](double a, double b, double t) { return a + (b - a) * t; };
    const double c00 = lerp(at(i0[0], i0[1], i0[2]), at(i1[0], i0[1], i0[2]), f[0]);
    const double c10 = lerp(at(i0[0], i1[1], i0[2]), at(i1[0], i1[1], i0[2]), f[0]);
    const double c01 = lerp(at(i0[0], i0[1], i1[2]), at(i1[0], i0[1], i1[2]), f[0]);
    const double c11 = lerp(at(i0[0], i1[1], i1[2]), at(i1[0], i1[1], i1[2]), f[0]);
    const double c0 = lerp(c00, c10, f[1]);
    const double c1 = lerp(c01, c11, f[1]);
    return static_cast<float>(lerp(c0, c1, f[2]));
}

}  // namespace quorvel::motion
