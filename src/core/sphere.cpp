#include "core/sphere.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>

#include "core/error.hpp"
#include "core/sizes.hpp"

namespace quorvel::sphere {
namespace {

using V3 = std::array<double, 3>;
// The full sphere of the largest level has 10*4^14 + 2 < 2^32 vertices.
using Index = std::uint32_t;
using Face = std::array<Index, 3>;

constexpr double kA = 0.5257311121191336;
constexpr double kB = 0.85065080835204;
constexpr Index kNone = std::numeric_limits<Index>::max();

std::size_t pow4(std::size_t level) { return std::size_t{1} << (2 * level); }

// One subdivision pass: every face becomes four; edge midpoints are shared through the cache.
// The cache files each edge under its smaller endpoint. No vertex of a subdivided icosahedron
// has more than six neighbours, so six slots per vertex hold all its edges and a pass takes time
// linear in the faces.
std::vector<Face> subdivide(std::vector<V3>& verts, const std::vector<Face>& faces) {
    constexpr std::size_t kSlots = 6;
    std::vector<std::array<Index, 2>> cache(verts.size() * kSlots, {kNone, kNone});  // (other end, midpoint)
    auto mid = [&](Index i, Index j) -> Index {
        const Index lo = std::min(i, j), hi = std::max(i, j);
        for (std::size_t s = lo * kSlots; s < (lo + 1) * kSlots; ++s) {
            auto& [other, midpoint] = cache[s];
            if (other == hi) return midpoint;
            if (other != kNone) continue;
            V3 m{(verts[i][0] + verts[j][0]) * 0.5, (verts[i][1] + verts[j][1]) * 0.5, (verts[i][2] + verts[j][2]) * 0.5};
            const double len = std::sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
            verts.push_back({m[0] / len, m[1] / len, m[2] / len});
            other = hi;
            midpoint = static_cast<Index>(verts.size() - 1);
            return midpoint;
        }
        panic_at(__FILE__, __LINE__, "every vertex of a subdivided icosahedron has at most six neighbours");
    };
    std::vector<Face> out;
    out.reserve(faces.size() * 4);
    for (const auto& [p, q, r] : faces) {
        const Index pq = mid(p, q), qr = mid(q, r), rp = mid(r, p);
        out.push_back({p, pq, rp});
        out.push_back({q, qr, pq});
        out.push_back({r, rp, qr});
        out.push_back({pq, qr, rp});
    }
    return out;
}

// The vertices of the icosahedron subdivided `level` times, in order of creation.
std::vector<V3> full_sphere(std::size_t level) {
    std::vector<V3> verts = {{-kA, kB, 0}, {kA, kB, 0},  {-kA, -kB, 0}, {kA, -kB, 0},  {0, -kA, kB},  {0, kA, kB},
                             {0, -kA, -kB}, {0, kA, -kB}, {kB, 0, -kA},  {kB, 0, kA},   {-kB, 0, -kA}, {-kB, 0, kA}};
    std::vector<Face> faces = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9},  {5, 11, 4},
                               {11, 10, 2}, {10, 7, 6}, {7, 1, 8},   {3, 9, 4},  {3, 4, 2},   {3, 2, 6},  {3, 6, 8},
                               {3, 8, 9},  {4, 9, 5},  {2, 4, 11},  {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
    verts.reserve(10 * pow4(level) + 2);
    for (std::size_t i = 0; i < level; ++i) faces = subdivide(verts, faces);
    return verts;
}

// Kept vertices are filed in cubic cells of side 2^-19 (scaling by a power of two is exact). A
// vertex within 1e-8 of a kept one (squared distance below 1e-16) lies in its cell or, when it
// sits within 2^-25 (> 1e-8) of a cell face, in the neighbour across that face; searching those
// cells decides exactly as comparing with every kept vertex would, in constant time per vertex.
constexpr double kCellsPerUnit = 0x1p19;
constexpr double kNearFace = 0x1p-6;               // 2^-25 in cell units
constexpr std::int64_t kCellOffset = (1 << 19) + 1;  // cells of unit vectors and their neighbours, made >= 0

std::uint64_t cell_key(std::int64_t x, std::int64_t y, std::int64_t z) {
    return static_cast<std::uint64_t>(x + kCellOffset) << 42 | static_cast<std::uint64_t>(y + kCellOffset) << 21 |
           static_cast<std::uint64_t>(z + kCellOffset);
}

}  // namespace

void HemiSphere::check_level(std::size_t level) {
    const std::string what = "a level-" + std::to_string(level) + " hemisphere is too large";
    if (level > kMaxLevel) throw InvalidInput(what + ": the largest level is " + std::to_string(kMaxLevel));
    // The peak of the build is the last subdivision pass: the full sphere's 10*4^level + 2
    // vertices (24 bytes each), the old and new faces (25*4^level, 12 bytes each) and the
    // midpoint cache (48 bytes for each of the 2.5*4^level old vertices); the fold needs less.
    const std::size_t bytes = 700 * pow4(level);
    if (bytes > physical_memory())
        throw InvalidInput(what + ": building it takes " + std::to_string(bytes) +
                           " bytes, more than this machine's memory");
}

HemiSphere HemiSphere::icosphere(std::size_t level) {
    check_level(level);
    return {fold_upper(full_sphere(level))};
}

std::vector<V3> fold_upper(std::span<const V3> dirs) {
    std::vector<V3> kept;
    std::unordered_map<std::uint64_t, Index> first;  // cell -> a kept direction in it
    std::vector<Index> next;                         // kept direction -> another in its cell, or kNone
    // Antipodal pairs fold onto one: about half are kept.
    kept.reserve(dirs.size() / 2 + 1);
    first.reserve(dirs.size() / 2 + 1);
    next.reserve(dirs.size() / 2 + 1);
    for (V3 v : dirs) {
        const double key = std::abs(v[2]) > 1e-12 ? v[2] : std::abs(v[1]) > 1e-12 ? v[1] : v[0];
        if (key < 0.0) v = {-v[0], -v[1], -v[2]};
        std::array<std::int64_t, 3> cell, lo, hi;
        for (int c = 0; c < 3; ++c) {
            QV_ASSERT(std::abs(v[c]) <= 1.0 + 1e-9, "direction components within [-1, 1]");
            const double s = v[c] * kCellsPerUnit, f = std::floor(s);
            cell[c] = static_cast<std::int64_t>(f);
            lo[c] = cell[c] - (s - f < kNearFace);
            hi[c] = cell[c] + (f + 1.0 - s < kNearFace);
        }
        bool duplicate = false;
        for (std::int64_t x = lo[0]; x <= hi[0] && !duplicate; ++x)
            for (std::int64_t y = lo[1]; y <= hi[1] && !duplicate; ++y)
                for (std::int64_t z = lo[2]; z <= hi[2] && !duplicate; ++z) {
                    const auto it = first.find(cell_key(x, y, z));
                    for (Index k = it == first.end() ? kNone : it->second; k != kNone && !duplicate; k = next[k]) {
                        const double dx = v[0] - kept[k][0], dy = v[1] - kept[k][1], dz = v[2] - kept[k][2];
                        duplicate = dx * dx + dy * dy + dz * dz < 1e-16;
                    }
                }
        if (duplicate) continue;
        QV_ASSERT(kept.size() < kNone, "fewer kept directions than 32-bit indices");
        const auto index = static_cast<Index>(kept.size());
        const auto [it, added] = first.try_emplace(cell_key(cell[0], cell[1], cell[2]), index);
        next.push_back(added ? kNone : it->second);
        it->second = index;
        kept.push_back(v);
    }
    return kept;
}

}  // namespace quorvel::sphere
