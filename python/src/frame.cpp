// The module frame's own functions: version, scalar names and the worker pool.
#include "bindings.hpp"
#include "convert.hpp"
#include "mixture/microstructure.hpp"
#include "core/pool.hpp"

namespace quorvel::bind {
namespace {

constexpr const char* kVersion = "0.2.1";

}  // namespace

PyObject* core_version(PyObject*, py::Args&) { return py::to_py(std::string(kVersion)).release(); }

PyObject* scalar_names(PyObject*, py::Args&) {
    py::Ref list = py::check(PyList_New(0));
    for (const char* name : microstructure::kScalarNames)
        py::check(PyList_Append(list.get(), py::to_py(std::string(name)).get()));
    return list.release();
}

PyObject* set_threads(PyObject*, py::Args& a) {
    std::size_t n = a.get("n", py::to_usize);
    return py::to_py_bool(pool::set_threads(n)).release();
}

PyObject* current_threads(PyObject*, py::Args&) { return py::to_py(pool::current_threads()).release(); }

}  // namespace quorvel::bind
