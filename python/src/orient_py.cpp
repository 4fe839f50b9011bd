// Reorientation to LAS and the output conventions (BIDS phase encoding, FSL bvecs).
#include <string>

#include "bindings.hpp"
#include "convert.hpp"
#include "core/orient.hpp"
#include "core/sizes.hpp"

namespace quorvel::bind {
namespace {

// The value stored under key; None counts as present (and then fails its conversion).
py::Ref required_item(PyObject* dict, const char* key) {
    py::Ref v = py::dict_item(dict, key);
    if (!v) throw InvalidInput(std::string("reorient: ") + key + " missing");
    return v;
}

// The reorientation dictionary: presence and types only, keys read in record order.
orient::Reorient reorient_from(PyObject* dict) {
    orient::Reorient r{};
    r.src = py::to_dims(required_item(dict, "src").get());
    r.flip = py::to_array_tuple<3>(required_item(dict, "flip").get(), py::to_bool);
    r.in_dims = py::to_dims(required_item(dict, "in_dims").get());
    r.out_dims = py::to_dims(required_item(dict, "out_dims").get());
    return r;
}

// A record the library operations can use: the dictionary, then its consistency.
orient::Reorient valid_reorient(PyObject* dict) {
    orient::Reorient r = reorient_from(dict);
    r.validate();
    return r;
}

PyObject* reorient_to_py(const orient::Reorient& r) {
    py::DictBuilder d;
    d.set("src", py::dims_to_py(r.src));
    d.set("flip", py::make_tuple({py::to_py_bool(r.flip[0]), py::to_py_bool(r.flip[1]), py::to_py_bool(r.flip[2])}));
    d.set("in_dims", py::dims_to_py(r.in_dims));
    d.set("out_dims", py::dims_to_py(r.out_dims));
    return d.release();
}

}  // namespace

PyObject* reorient_to_las(PyObject*, py::Args& a) {
    auto affine = a.get("affine", py::to_f64_2d);
    auto dims = a.get("dims", py::to_dims);
    return reorient_to_py(orient::Reorient::to_las(py::affine4(affine), dims));
}

PyObject* reorient_identity(PyObject*, py::Args& a) {
    auto dims = a.get("dims", py::to_dims);
    return reorient_to_py(orient::Reorient::identity(dims));
}

PyObject* apply_reorient(PyObject*, py::Args& a) {
    auto data = a.get("data", py::to_f32_1d);
    const std::size_t ngrad = a.get("ngrad", py::to_usize);
    PyObject* dict = a.get("reorient", py::to_dict);

    const orient::Reorient r = valid_reorient(dict);
    auto values = py::f32s(data);
    const auto expected = checked_product({r.in_dims[0], r.in_dims[1], r.in_dims[2], ngrad});
    if (!expected)
        throw InvalidInput("image: in_dims " + py::debug_list(r.in_dims) + " with " + std::to_string(ngrad) +
                           " volumes hold more values than can be addressed");
    py::check_len("image", values.size(), *expected);
    auto out = py::without_gil([&] { return r.apply_volume(values, ngrad); });
    return py::to_numpy(std::move(out));
}

PyObject* reorient_affine(PyObject*, py::Args& a) {
    auto affine = a.get("affine", py::to_f64_2d);
    PyObject* dict = a.get("reorient", py::to_dict);
    const orient::Reorient r = valid_reorient(dict);
    return py::affine_to_py(r.apply_affine(py::affine4(affine)));
}

PyObject* out_ped(PyObject*, py::Args& a) {
    PyObject* dict = a.get("reorient", py::to_dict);
    const std::size_t axis = a.get("in_pe_axis", py::to_usize);
    const std::int32_t sign = a.get("in_pe_sign", py::to_i32);
    const orient::Reorient r = valid_reorient(dict);
    return py::to_py(r.out_ped(axis, sign)).release();
}

PyObject* fsl_bvecs(PyObject*, py::Args& a) {
    auto bvecs = a.get("bvecs", py::to_f64_2d);
    auto affine = a.get("affine", py::to_f64_2d);
    const py::Affine m = py::affine4(affine);
    const auto rows = py::rows3(bvecs, "bvecs");
    std::vector<double> out;
    out.reserve(3 * rows.size());
    for (const auto& b : rows) {
        const auto v = orient::Reorient::fsl_bvec(b, m);
        out.insert(out.end(), v.begin(), v.end());
    }
    return py::to_numpy(std::move(out));
}

}  // namespace quorvel::bind
