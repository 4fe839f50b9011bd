#include "core/sphere.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace quorvel::sphere {
namespace {

using V3 = std::array<double, 3>;
using Face = std::array<std::size_t, 3>;

constexpr double kA = 0.5257311121191336;
constexpr double kB = 0.85065080835204;

// One subdivision pass: every face becomes four; edge midpoints are shared through the cache.
std::vector<Face> subdivide(std::vector<V3>& verts, const std::vector<Face>& faces) {
    std::map<std::pair<std::size_t, std::size_t>, std::size_t> cache;
    auto mid = [&](std::size_t i, std::size_t j) {
        auto key = std::minmax(i, j);
        if (auto it = cache.find(key); it != cache.end()) return it->second;
        V3 m{(verts[i][0] + verts[j][0]) * 0.5, (verts[i][1] + verts[j][1]) * 0.5, (verts[i][2] + verts[j][2]) * 0.5};
        const double len = std::sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
        verts.push_back({m[0] / len, m[1] / len, m[2] / len});
        cache.emplace(key, verts.size() - 1);
        return verts.size() - 1;
    };
    std::vector<Face> out;
    out.reserve(faces.size() * 4);
    for (const auto& [p, q, r] : faces) {
        const std::size_t pq = mid(p, q), qr = mid(q, r), rp = mid(r, p);
        out.push_back({p, pq, rp});
        out.push_back({q, qr, pq});
        out.push_back({r, rp, qr});
        out.push_back({pq, qr, rp});
    }
    return out;
}

}  // namespace

HemiSphere HemiSphere::icosphere(std::size_t level) {
    std::vector<V3> verts = {{-kA, kB, 0}, {kA, kB, 0},  {-kA, -kB, 0}, {kA, -kB, 0},  {0, -kA, kB},  {0, kA, kB},
                             {0, -kA, -kB}, {0, kA, -kB}, {kB, 0, -kA},  {kB, 0, kA},   {-kB, 0, -kA}, {-kB, 0, kA}};
    std::vector<Face> faces = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9},  {5, 11, 4},
                               {11, 10, 2}, {10, 7, 6}, {7, 1, 8},   {3, 9, 4},  {3, 4, 2},   {3, 2, 6},  {3, 6, 8},
                               {3, 8, 9},  {4, 9, 5},  {2, 4, 11},  {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
    for (std::size_t i = 0; i < level; ++i) faces = subdivide(verts, faces);

    // Fold onto the upper hemisphere (z > 0, else y > 0, else x > 0) and drop antipodal twins.
    HemiSphere h;
    for (V3 v : verts) {
        const double key = std::abs(v[2]) > 1e-12 ? v[2] : std::abs(v[1]) > 1e-12 ? v[1] : v[0];
        if (key < 0.0) v = {-v[0], -v[1], -v[2]};
        bool duplicate = false;
        for (const V3& k : h.vertices) {
            const double dx = v[0] - k[0], dy = v[1] - k[1], dz = v[2] - k[2];
            if (dx * dx + dy * dy + dz * dz < 1e-16) {
                duplicate = true;
                break;
            }
        }
        if (!duplicate) h.vertices.push_back(v);
    }
    return h;
}

}  // namespace quorvel::sphere
