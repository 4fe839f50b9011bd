// Sub-voxel edge images for resolution and partial-volume checks.
#include "bindings.hpp"
#include "convert.hpp"
#include "acquisition/edges.hpp"
#include "core/sizes.hpp"

namespace quorvel::bind {
namespace {

// Slices beyond this many pixels are refused before anything is allocated.
constexpr std::size_t kMaxPixels = std::size_t{1} << 26;

void check_slice(std::size_t snx, std::size_t sny) {
    const auto n = checked_product({snx, sny});
    if (!n || *n > kMaxPixels)
        throw InvalidInput("snx * sny: a slice of " + std::to_string(snx) + " x " + std::to_string(sny) +
                           " pixels is too large (at most " + std::to_string(kMaxPixels) + ")");
}

}  // namespace

PyObject* step_hires(PyObject*, py::Args& a) {
    const std::size_t snx = a.get("snx", py::to_usize);
    const std::size_t sny = a.get("sny", py::to_usize);
    const double edge = a.get("edge", py::to_f64);
    check_slice(snx, sny);
    return py::to_numpy(kspace::step_hires(snx, sny, edge));
}

PyObject* box_hires(PyObject*, py::Args& a) {
    const std::size_t snx = a.get("snx", py::to_usize);
    const std::size_t sny = a.get("sny", py::to_usize);
    const double x0 = a.get("x0", py::to_f64);
    const double x1 = a.get("x1", py::to_f64);
    const double y0 = a.get("y0", py::to_f64);
    const double y1 = a.get("y1", py::to_f64);
    check_slice(snx, sny);
    return py::to_numpy(kspace::box_hires(snx, sny, x0, x1, y0, y1));
}

}  // namespace quorvel::bind
