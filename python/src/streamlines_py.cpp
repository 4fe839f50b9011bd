// Streamline subsampling.
#include <optional>

#include "bindings.hpp"
#include "convert.hpp"
#include "csr.hpp"
#include "core/streamlines.hpp"

namespace quorvel::bind {
namespace {

// A (3m,) float64 array over the points' own buffer: Vec3 is three packed doubles.
PyObject* points_to_numpy(std::vector<streamlines::Vec3>&& points) {
    static_assert(sizeof(streamlines::Vec3) == 3 * sizeof(double));
    auto owned = std::make_shared<std::vector<streamlines::Vec3>>(std::move(points));
    void* data = owned->data();
    const std::size_t n = 3 * owned->size();
    return py::numpy_from_owner(std::move(owned), data, n, sizeof(double), py::NumpyType<double>::format,
                                py::NumpyType<double>::dtype);
}

}  // namespace

PyObject* subsample_streamlines(PyObject*, py::Args& a) {
    auto positions = a.get("positions", py::to_f64_2d);
    auto offsets = a.get("offsets", py::to_u32_1d);
    auto weights = a.get("weights", optional_f32_1d);
    const std::size_t n = a.get("n", py::to_usize);
    const std::uint64_t seed = a.get("seed", py::to_u64);

    auto points = py::rows3(positions, "positions");
    auto [offs, w] = streamline_offsets_weights(offsets, weights, points.size());

    auto r = py::without_gil([&] {
        return streamlines::subsample_streamlines(std::move(points), std::move(offs), std::move(w), n, seed);
    });

    py::DictBuilder stats;
    stats.set("kept", py::to_py(r.stats.kept));
    stats.set("total", py::to_py(r.stats.total));
    stats.set("vertex_fraction", py::to_py(r.stats.vertex_fraction));
    stats.set("weight_fraction", py::to_py(r.stats.weight_fraction));
    stats.set("summary", py::to_py(r.stats.summary(seed)));
    py::Ref pos(points_to_numpy(std::move(r.positions)));
    py::Ref off(py::to_numpy(std::move(r.offsets)));
    py::Ref wts = r.weights ? py::Ref(py::to_numpy(std::move(*r.weights))) : py::Ref::borrow(Py_None);
    py::Ref st(stats.release());
    return py::make_tuple({pos, off, wts, st});
}

}  // namespace quorvel::bind
