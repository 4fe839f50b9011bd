#include "core/orient.hpp"

#include <algorithm>
#include <cmath>

#include "core/error.hpp"
#include "core/mat3.hpp"
#include "core/text.hpp"

namespace quorvel::orient {
namespace {

bool is_permutation(const Dims& src) {
    return src[0] < 3 && src[1] < 3 && src[2] < 3 && src[0] != src[1] && src[0] != src[2] && src[1] != src[2];
}

}  // namespace

Reorient Reorient::identity(const Dims& dims) { return {{0, 1, 2}, dims, dims, {false, false, false}}; }

Reorient Reorient::to_las(const Affine& affine, const Dims& dims) {
    Dims world{};  // dominant world axis of each voxel axis
    std::array<bool, 3> negative{};
    for (std::size_t c = 0; c < 3; ++c) {
        std::size_t best = 0;
        for (std::size_t r = 1; r < 3; ++r)
            if (std::abs(affine[4 * r + c]) > std::abs(affine[4 * best + c])) best = r;
        world[c] = best;
        negative[c] = affine[4 * best + c] < 0.0;
    }
    Reorient o{};
    for (std::size_t k = 0; k < 3; ++k) {
        std::size_t c = 0;
        while (c < 3 && world[c] != k) ++c;
        if (c == 3) throw InvalidInput("affine 3x3 is not a permutation of the world axes");
        o.src[k] = c;
    }
    // LAS: axis 0 must run towards world -x, axes 1 and 2 towards +y and +z.
    o.flip = {!negative[o.src[0]], negative[o.src[1]], negative[o.src[2]]};
    o.in_dims = dims;
    for (std::size_t k = 0; k < 3; ++k) o.out_dims[k] = dims[o.src[k]];
    return o;
}

void Reorient::validate() const {
    if (!is_permutation(src))
        throw InvalidInput("reorient: src must be a permutation of (0, 1, 2), got " + debug_list(src));
    for (std::size_t k = 0; k < 3; ++k)
        if (out_dims[k] != in_dims[src[k]])
            throw InvalidInput("reorient: out_dims " + debug_list(out_dims) + " do not match in_dims " +
                               debug_list(in_dims) + " permuted by src " + debug_list(src));
}

Affine Reorient::apply_affine(const Affine& a) const {
    QV_ASSERT(is_permutation(src), "reorientation src is not a permutation of the axes");
    // P maps output voxel coordinates (homogeneous) to input voxel coordinates.
    double p[4][4] = {};
    for (std::size_t k = 0; k < 3; ++k) {
        p[src[k]][k] = flip[k] ? -1.0 : 1.0;
        if (flip[k]) p[src[k]][3] = static_cast<double>(out_dims[k]) - 1.0;
    }
    Affine r{};
    for (std::size_t row = 0; row < 3; ++row) {
        const double a0 = a[4 * row], a1 = a[4 * row + 1], a2 = a[4 * row + 2];
        for (std::size_t c = 0; c < 3; ++c) r[4 * row + c] = (a0 * p[0][c] + a1 * p[1][c]) + a2 * p[2][c];
        r[4 * row + 3] = a[4 * row + 3] + ((a0 * p[0][3] + a1 * p[1][3]) + a2 * p[2][3]);
    }
    r[15] = 1.0;
    return r;
}

std::vector<float> Reorient::apply_volume(std::span<const float> data, std::size_t ngrad) const {
    if (src == Dims{0, 1, 2} && !flip[0] && !flip[1] && !flip[2]) return {data.begin(), data.end()};
    QV_ASSERT(is_permutation(src), "reorientation src is not a permutation of the axes");
    for (std::size_t k = 0; k < 3; ++k) QV_ASSERT(out_dims[k] == in_dims[src[k]], "reorientation out_dims mismatch");
    QV_ASSERT(data.size() == in_dims[0] * in_dims[1] * in_dims[2] * ngrad, "image length does not match in_dims");
    std::vector<float> out(out_dims[0] * out_dims[1] * out_dims[2] * ngrad, 0.0f);
    Dims i{};
    for (std::size_t z = 0; z < out_dims[2]; ++z) {
        i[src[2]] = flip[2] ? out_dims[2] - 1 - z : z;
        for (std::size_t y = 0; y < out_dims[1]; ++y) {
            i[src[1]] = flip[1] ? out_dims[1] - 1 - y : y;
            for (std::size_t x = 0; x < out_dims[0]; ++x) {
                i[src[0]] = flip[0] ? out_dims[0] - 1 - x : x;
                const std::size_t from = ((i[2] * in_dims[1] + i[1]) * in_dims[0] + i[0]) * ngrad;
                const std::size_t to = ((z * out_dims[1] + y) * out_dims[0] + x) * ngrad;
                std::copy_n(data.data() + from, ngrad, out.data() + to);
            }
        }
    }
    return out;
}

std::string Reorient::out_ped(std::size_t in_pe_axis, std::int32_t in_pe_sign) const {
    std::size_t k = 0;
    while (k < 3 && src[k] != in_pe_axis) ++k;
    if (k == 3) throw InvalidInput("pe axis not in permutation");
    // Widened so that negating the most negative int32 stays defined.
    const std::int64_t s = flip[k] ? -static_cast<std::int64_t>(in_pe_sign) : in_pe_sign;
    std::string ped(1, "ijk"[k]);
    if (s < 0) ped += '-';
    return ped;
}

Vec3 Reorient::fsl_bvec(const Vec3& b, const Affine& a) {
    Vec3 r{};
    for (std::size_t c = 0; c < 3; ++c) {
        const double x = a[c], y = a[4 + c], z = a[8 + c];
        const double norm = std::sqrt((x * x + y * y) + z * z);
        r[c] = ((b[0] * x + b[1] * y) + b[2] * z) / norm;
    }
    const double det = mat3::det(mat3::linear_part(a));
    // FSL reads the voxel axes of a positive-determinant (neurological) image with x mirrored.
    if (det > 0.0) r[0] = -r[0];
    return r;
}

}  // namespace quorvel::orient
