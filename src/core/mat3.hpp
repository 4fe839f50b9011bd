#pragma once
// 3x3 matrices (row-major, 9 values) and the linear block of a voxel-to-world affine. Every
// inverse of an affine in the system is its adjugate over its determinant, with the determinant
// expanded along the first row, so grids, warps and resampling agree to the last bit.
#include <array>

namespace quorvel::mat3 {

using Mat3 = std::array<double, 9>;
using Vec3 = std::array<double, 3>;

// The upper-left 3x3 block of a row-major 4x4 affine.
inline Mat3 linear_part(const std::array<double, 16>& affine) {
    return {affine[0], affine[1], affine[2], affine[4], affine[5], affine[6], affine[8], affine[9], affine[10]};
}

inline double det(const Mat3& a) {
    return a[0] * (a[4] * a[8] - a[5] * a[7]) - a[1] * (a[3] * a[8] - a[5] * a[6]) +
           a[2] * (a[3] * a[7] - a[4] * a[6]);
}

// adj(A), so that A^-1 = adj(A) / det(A).
inline Mat3 adjugate(const Mat3& a) {
    return {a[4] * a[8] - a[5] * a[7], a[2] * a[7] - a[1] * a[8], a[1] * a[5] - a[2] * a[4],
            a[5] * a[6] - a[3] * a[8], a[0] * a[8] - a[2] * a[6], a[2] * a[3] - a[0] * a[5],
            a[3] * a[7] - a[4] * a[6], a[1] * a[6] - a[0] * a[7], a[0] * a[4] - a[1] * a[3]};
}

inline Vec3 mul(const Mat3& a, const Vec3& v) {
    return {a[0] * v[0] + a[1] * v[1] + a[2] * v[2], a[3] * v[0] + a[4] * v[1] + a[5] * v[2],
            a[6] * v[0] + a[7] * v[1] + a[8] * v[2]};
}

// A^-1 v computed as (adj(A) v) / det(A).
inline Vec3 solve(const Mat3& adj, double det, const Vec3& v) {
    const Vec3 n = mul(adj, v);
    return {n[0] / det, n[1] / det, n[2] / det};
}

}  // namespace quorvel::mat3
