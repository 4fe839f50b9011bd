#pragma once
// Rigid motion of the subject: poses and their world transforms, the resolution of a motion
// mode into per-unit poses, dropout events, the multiband slice schedule, within-volume motion
// of the compartment images, and the one trilinear sampler of the resampling code.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "signal/compartments.hpp"
#include "core/raster.hpp"

namespace quorvel::motion {

using Vec3 = std::array<double, 3>;
using Dims = std::array<std::size_t, 3>;
using Mat4 = std::array<double, 16>;  // row-major 4x4, world mm -> world mm

// A rigid pose, applied about a centre as R = Rz*Ry*Rx followed by the translation.
struct Pose {
    Vec3 rot_deg{};   // degrees about the world x, y, z axes
    Vec3 trans_mm{};  // mm

    // The 4x4 transform: rotate about `center`, then shift by trans_mm.
    Mat4 to_matrix(const Vec3& center) const;
    bool is_zero() const;
};

// World position of the grid centre, the rotation centre of every pose.
Vec3 fov_center(const Dims& dims, const std::array<double, 16>& affine);

enum class MotionKind { Off, Random, Linear, Trajectory };

// What resolve_poses resolves: random and linear read the amplitudes and `volumes`,
// trajectory reads `poses`, off reads nothing.
struct MotionMode {
    MotionKind kind = MotionKind::Off;
    Vec3 trans_mm{};                  // mm, translation amplitudes
    Vec3 rot_deg{};                   // degrees, rotation amplitudes
    std::vector<std::size_t> volumes; // unit indices that move
    std::vector<Pose> poses;          // the given trajectory
};

// One absolute pose per unit (n_units of them), unlisted units at the zero pose.
std::vector<Pose> resolve_poses(const MotionMode& mode, std::size_t n_units, std::uint64_t seed);

// A sudden movement during one shot of one volume.
struct MotionEvent {
    std::size_t volume = 0;
    std::size_t shot = 0;       // multiband slice group within the volume
    Vec3 jump_mm{};             // translation jump
    Vec3 jump_deg{};            // rotation jump about x, y, z
    float severity = 1.0f;      // attenuation of the shot is 1 - (b/b_max)*severity
};

// The dropout seed of a run.
std::uint64_t dropout_seed(std::uint64_t run_seed);

// At most one event per volume with b >= 50, drawn from a per-volume hash of the seed.
std::vector<MotionEvent> dropout_events(std::span<const double> bvals, std::size_t n_shots,
                                        std::uint64_t seed, double rate);

// One attenuated shot, reported as ground truth.
struct DroppedShot {
    std::size_t volume = 0;
    std::size_t shot = 0;
    std::vector<std::size_t> slices;  // the shot's group in schedule numbering
    float attenuation = 1.0f;         // gain applied to those slices
};

// `vol` (F-order on `dims`) after moving the object by `pose` about the centre of the grid.
std::vector<float> resample_by_pose(std::span<const float> vol, const Dims& dims,
                                    const raster::Grid& grid, const Pose& pose);
// The same into `out` (as many values as `vol`), allocating nothing.
void resample_by_pose_into(std::span<const float> vol, const Dims& dims, const raster::Grid& grid,
                           const Pose& pose, std::span<float> out);

// Multiband shot groups in acquisition order; each group's slices ascending.
std::vector<std::vector<std::size_t>> slice_schedule(std::size_t nz, std::size_t mb, bool interleaved);

// The dropped shots of one call may list at most this many slices in all: a multiband group
// is listed whole in every dropped shot that hits it.
inline constexpr std::size_t kMaxListedSlices = std::size_t{1} << 24;

// Everything the within-volume motion decides before it touches an image.
struct MultibandPlan {
    std::vector<std::pair<std::size_t, std::size_t>> local;  // (shot, local slice) of excited slices, by shot
    std::vector<MotionEvent> events;  // the events that apply, ordered by volume, list order kept within one
    std::vector<DroppedShot> dropped;  // one per entry of `events`, same order
};

// Plans the motion of `events` on images of `n_images` x nvox*ngrad values. Throws InvalidInput
// when slice_z does not name every local slice, and when the dropped shots would list more than
// kMaxListedSlices slices (a group of mb slices of a stack of nz_full, or nz, slices).
MultibandPlan plan_multiband_motion(const Dims& dims, std::size_t ngrad, std::size_t n_images, std::size_t mb,
                                    bool interleaved, std::span<const double> bvals,
                                    std::span<const MotionEvent> events,
                                    std::optional<std::span<const std::size_t>> slice_z,
                                    std::optional<std::size_t> nz_full, double b_max);

// Applies a plan in place to every image (4-D interleaved, nvox*ngrad values). Cannot fail and
// allocates nothing: `vol` and `moved` are caller scratch of nvox values each (unused, and
// may be empty, when the plan has no event or the images hold no voxel).
void apply_multiband_plan(std::span<compartments::Image> images, const Dims& dims, std::size_t ngrad,
                          const raster::Grid& grid, const MultibandPlan& plan, std::span<float> vol,
                          std::span<float> moved);

// Samples a flat F-order volume at continuous voxel coordinate p (voxel centres on integers).
// 0 outside [0, n-1] on any axis, and 0 (reading nothing) on a grid with a zero extent.
float trilinear(std::span<const float> vol, const std::array<std::size_t, 3>& dims,
                const std::array<double, 3>& p);

}  // namespace quorvel::motion
