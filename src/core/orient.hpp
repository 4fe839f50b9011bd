#pragma once
// Reorientation of images to radiological LAS storage (the dcm2niix/FSL convention: voxel axis 0
// runs right to left, axis 1 posterior to anterior, axis 2 inferior to superior), and the output
// conventions that go with it: the BIDS phase-encoding direction and FSL bvecs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorvel::orient {

using Affine = std::array<double, 16>;  // row-major 4x4, voxel -> world (RAS mm)
using Dims = std::array<std::size_t, 3>;
using Vec3 = std::array<double, 3>;

// An axis permutation with per-axis reversal: output axis k reads input axis src[k], reversed
// when flip[k]. Usable when src is a permutation of (0, 1, 2) and out_dims[k] = in_dims[src[k]].
struct Reorient {
    Dims src;
    Dims in_dims;
    Dims out_dims;
    std::array<bool, 3> flip;

    // The record that changes nothing.
    static Reorient identity(const Dims& dims);

    // The reorientation to LAS of an axis-aligned grid; InvalidInput when two voxel axes share
    // a dominant world axis.
    static Reorient to_las(const Affine& affine, const Dims& dims);

    // InvalidInput naming the fault when src is not a permutation or out_dims does not match.
    void validate() const;

    // The affine of the reoriented image: every voxel keeps its world position.
    Affine apply_affine(const Affine& affine) const;

    // Reorients an interleaved image (value g of voxel (x, y, z) at ((z*ny + y)*nx + x)*ngrad + g)
    // holding in_dims[0]*in_dims[1]*in_dims[2]*ngrad values.
    std::vector<float> apply_volume(std::span<const float> data, std::size_t ngrad) const;

    // The BIDS PhaseEncodingDirection ("i", "j-", ...) in the output frame; InvalidInput
    // "pe axis not in permutation" when no output axis reads in_pe_axis.
    std::string out_ped(std::size_t in_pe_axis, std::int32_t in_pe_sign) const;

    // A world (RAS) direction as an FSL bvec for `affine`: projected on the voxel axes, x negated
    // for a positive-determinant affine.
    static Vec3 fsl_bvec(const Vec3& b, const Affine& affine);
};

}  // namespace quorvel::orient
