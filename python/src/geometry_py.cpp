// Voxel grids.
#include <string>

#include "bindings.hpp"
#include "convert.hpp"
#include "core/raster.hpp"
#include "core/sizes.hpp"

namespace quorvel::bind {

PyObject* hires_grid(PyObject*, py::Args& a) {
    auto affine = a.get("affine", py::to_f64_2d);
    auto dims = a.get("dims", py::to_dims);
    auto o = a.get("o", py::to_usize);
    if (o == 0) throw InvalidInput("oversampling factor must be positive");
    raster::Grid g{py::affine4(affine), dims};
    if (!checked_product({dims[0], o}) || !checked_product({dims[1], o}))
        throw InvalidInput("oversampling factor " + std::to_string(o) + " is too large for dims " +
                           py::debug_list(dims));
    raster::Grid h = g.hires(o);
    return py::make_tuple({py::Ref(py::affine_to_py(h.affine)), py::dims_to_py(h.dims)});
}

}  // namespace quorvel::bind
