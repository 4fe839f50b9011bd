#include <gtest/gtest.h>

#include <cmath>

#include "raster.hpp"

using quorvel::raster::Dims;
using quorvel::raster::Grid;
using quorvel::raster::SegmentHit;
using quorvel::raster::Vec3;

namespace {

Grid identity(Dims dims) { return Grid{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, dims}; }

std::vector<SegmentHit> cut(const Grid& g, Vec3 p0, Vec3 p1) {
    std::vector<double> ts;
    std::vector<SegmentHit> out{{{9, 9, 9}, 9.0}};  // stale content must be cleared
    g.intersect_segment_into(p0, p1, ts, out);
    return out;
}

void expect_hits(const std::vector<SegmentHit>& got, const std::vector<SegmentHit>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].voxel, want[i].voxel) << "piece " << i;
        EXPECT_NEAR(got[i].length, want[i].length, 1e-12) << "piece " << i;
    }
}

}  // namespace

TEST(Rasteriser, PiecesAlongXInOrder) {
    const Grid g = identity({4, 4, 4});
    expect_hits(cut(g, {0.5, 0.5, 0.5}, {2.5, 0.5, 0.5}), {{{0, 0, 0}, 0.5}, {{1, 0, 0}, 1.0}, {{2, 0, 0}, 0.5}});
    expect_hits(cut(g, {2.5, 0.5, 0.5}, {0.5, 0.5, 0.5}), {{{2, 0, 0}, 0.5}, {{1, 0, 0}, 1.0}, {{0, 0, 0}, 0.5}});
}

TEST(Rasteriser, PartsOutsideTheBoxAreDropped) {
    const Grid g = identity({4, 4, 4});
    expect_hits(cut(g, {-1, 0.5, 0.5}, {1, 0.5, 0.5}), {{{0, 0, 0}, 1.0}});
    EXPECT_TRUE(cut(g, {4, 0.5, 0.5}, {6, 0.5, 0.5}).empty());
    EXPECT_TRUE(cut(g, {-3, 0.5, 0.5}, {-0.5, 0.5, 0.5}).empty());
    EXPECT_TRUE(cut(g, {1, 1, 1}, {1, 1, 1}).empty());
}

TEST(Rasteriser, SingularAffineYieldsNothing) {
    const Grid g{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, {4, 4, 4}};
    EXPECT_TRUE(cut(g, {0.5, 0.5, 0.5}, {2.5, 0.5, 0.5}).empty());
    EXPECT_FALSE(g.world_to_voxel({1, 1, 1}).has_value());
}

TEST(Rasteriser, DiagonalThroughAnEdgeHasNoZeroLengthPiece) {
    const Grid g = identity({4, 4, 4});
    const double h = std::sqrt(2.0) / 2;
    expect_hits(cut(g, {0.5, 0.5, 0.5}, {1.5, 1.5, 0.5}), {{{0, 0, 0}, h}, {{1, 1, 0}, h}});
}

TEST(Rasteriser, LengthsAreWorldMillimetres) {
    const Grid g{{2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1}, {4, 4, 4}};
    expect_hits(cut(g, {2.0, 1.0, 1.0}, {4.0, 1.0, 1.0}), {{{1, 0, 0}, 2.0}});
}

TEST(Rasteriser, CountsFromVoxelCorners) {
    const Grid g = identity({4, 4, 4});
    expect_hits(cut(g, {0.1, 0.5, 0.5}, {0.9, 0.5, 0.5}), {{{0, 0, 0}, 0.8}});
    expect_hits(cut(g, {0.9, 0.5, 0.5}, {1.1, 0.5, 0.5}), {{{0, 0, 0}, 0.1}, {{1, 0, 0}, 0.1}});
}

TEST(Rasteriser, PiecesSumToTheLengthInsideTheBox) {
    const Grid g{{1.5, 0.2, 0, 3, -0.1, 2, 0.3, -2, 0, 0, 2.5, 1, 0, 0, 0, 1}, {5, 6, 7}};
    auto world = [&](Vec3 c) {
        return Vec3{g.affine[0] * c[0] + g.affine[1] * c[1] + g.affine[2] * c[2] + g.affine[3],
                    g.affine[4] * c[0] + g.affine[5] * c[1] + g.affine[6] * c[2] + g.affine[7],
                    g.affine[8] * c[0] + g.affine[9] * c[1] + g.affine[10] * c[2] + g.affine[11]};
    };
    const Vec3 p0 = world({0.3, 0.4, 0.2}), p1 = world({4.6, 5.5, 6.7});  // both inside the box
    double total = 0;
    for (const auto& h : cut(g, p0, p1)) total += h.length;
    const double dx = p1[0] - p0[0], dy = p1[1] - p0[1], dz = p1[2] - p0[2];
    EXPECT_NEAR(total, std::sqrt(dx * dx + dy * dy + dz * dz), 1e-9);
}

TEST(Grid, HiresTilesTheCoarseVoxel) {
    const Grid g = identity({3, 4, 5});
    const Grid h = g.hires(2);
    EXPECT_EQ(h.dims, (Dims{6, 8, 5}));
    const std::array<double, 16> expected{0.5, 0, 0, -0.25, 0, 0.5, 0, -0.25, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_EQ(h.affine, expected);
    EXPECT_EQ(g.hires(1).affine, g.affine);
}

TEST(Grid, WorldToVoxelInvertsTheAffine) {
    const Grid g{{0, -2, 0, 10, 1.5, 0, 0, -4, 0, 0, 3, 7, 0, 0, 0, 1}, {4, 4, 4}};
    const Vec3 ijk{1.25, 2.5, -0.75};
    const Vec3 w{g.affine[0] * ijk[0] + g.affine[1] * ijk[1] + g.affine[2] * ijk[2] + g.affine[3],
                 g.affine[4] * ijk[0] + g.affine[5] * ijk[1] + g.affine[6] * ijk[2] + g.affine[7],
                 g.affine[8] * ijk[0] + g.affine[9] * ijk[1] + g.affine[10] * ijk[2] + g.affine[11]};
    const auto back = g.world_to_voxel(w);
    ASSERT_TRUE(back.has_value());
    for (int a = 0; a < 3; ++a) EXPECT_NEAR((*back)[a], ijk[a], 1e-12);
}
