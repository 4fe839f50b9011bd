#include "convert.hpp"

#include <cinttypes>
#include <cstdio>
#include <limits>

namespace quorvel::py {
namespace {

// numpy is imported on first use, never at module import. The cached objects are kept for the
// life of the process on purpose: releasing them from a static destructor would run after the
// interpreter has shut down.
PyObject* numpy_attr(const char* name) {
    static PyObject* numpy = nullptr;
    if (numpy == nullptr) numpy = check(PyImport_ImportModule("numpy")).release();
    return PyObject_GetAttrString(numpy, name);
}

PyObject* cached_numpy_attr(PyObject*& slot, const char* name) {
    if (slot == nullptr) slot = check(numpy_attr(name)).release();
    return slot;
}

PyObject* ndarray_type() {
    static PyObject* t = nullptr;
    return cached_numpy_attr(t, "ndarray");
}

PyObject* numpy_bool_type() {
    static PyObject* t = nullptr;
    return cached_numpy_attr(t, "bool_");
}

bool is_numpy_bool(PyObject* o) { return has_type(o, reinterpret_cast<PyTypeObject*>(numpy_bool_type())); }

std::size_t index_to_usize(PyObject* o) {
    Ref idx = check(PyNumber_Index(o));
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (v > std::numeric_limits<std::size_t>::max()) raise(PyExc_OverflowError, "int too big to convert");
    return static_cast<std::size_t>(v);
}

// ---- the buffer owner that backs every zero-copy result array ----

struct Owner {
    PyObject_HEAD
    std::shared_ptr<void>* keep;
    void* data;
    Py_ssize_t bytes;
    Py_ssize_t itemsize;
    const char* format;
    Py_ssize_t count;
};

int owner_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* o = reinterpret_cast<Owner*>(self);
    view->obj = Py_NewRef(self);
    view->buf = o->data;
    view->len = o->bytes;
    view->readonly = 0;
    view->itemsize = o->itemsize;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(o->format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? &o->count : nullptr;
    view->strides = (flags & PyBUF_STRIDES) ? &o->itemsize : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void owner_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<Owner*>(self);
    delete o->keep;
    PyTypeObject* tp = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(self);
    Py_DECREF(tp);
}

PyTypeObject* owner_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_bf_getbuffer, reinterpret_cast<void*>(owner_getbuffer)},
            {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"quorvel._core._Buffer", sizeof(Owner), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    }();
    if (type == nullptr) throw ErrorAlreadySet{};
    return type;
}

}  // namespace

// ---- errors ----

std::string type_name(PyObject* o) {
    Ref name = check(PyType_GetName(Py_TYPE(o)));
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &len);
    if (s == nullptr) throw ErrorAlreadySet{};
    return std::string(s, static_cast<std::size_t>(len));
}

void raise_not_instance(PyObject* o, const char* expected) {
    raise(PyExc_TypeError, "'" + type_name(o) + "' object is not an instance of '" + expected + "'");
}

// ---- scalars ----

std::size_t to_usize(PyObject* o) { return index_to_usize(o); }

std::int32_t to_i32(PyObject* o) {
    Ref idx = check(PyNumber_Index(o));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (overflow != 0 || v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::int32_t>(v);
}

std::uint64_t to_u64(PyObject* o) {
    Ref idx = check(PyNumber_Index(o));
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
    return v;
}

double to_f64(PyObject* o) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
    return v;
}

float to_f32(PyObject* o) { return static_cast<float>(to_f64(o)); }

bool to_bool(PyObject* o) {
    if (PyBool_Check(o)) return o == Py_True;
    if (is_numpy_bool(o)) {
        int r = PyObject_IsTrue(o);
        check(r);
        return r == 1;
    }
    raise_not_instance(o, "bool");
}

std::string to_str(PyObject* o) {
    if (!PyUnicode_Check(o)) raise_not_instance(o, "str");
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (s == nullptr) throw ErrorAlreadySet{};
    return std::string(s, static_cast<std::size_t>(len));
}

PyObject* to_dict(PyObject* o) {
    if (!PyDict_Check(o)) raise_not_instance(o, "dict");
    return o;
}

PyObject* to_tuple_of(PyObject* o, std::size_t n) {
    if (!PyTuple_Check(o)) raise_not_instance(o, "tuple");
    auto len = static_cast<std::size_t>(PyTuple_Size(o));
    if (len != n)
        raise(PyExc_TypeError, "expected tuple of length " + std::to_string(n) + ", but got tuple of length " +
                                   std::to_string(len));
    return o;
}

Dims to_dims(PyObject* o) { return to_array_tuple<3>(o, to_usize); }

void check_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) raise_not_instance(o, "Sequence");
}

// ---- arrays ----

std::size_t ArrayView::size() const {
    std::size_t n = 1;
    for (int i = 0; i < view_->ndim; ++i) n *= static_cast<std::size_t>(view_->shape[i]);
    return n;
}

std::string ArrayView::shape_str() const {
    std::vector<std::size_t> s;
    for (int i = 0; i < view_->ndim; ++i) s.push_back(static_cast<std::size_t>(view_->shape[i]));
    return debug_list(s);
}

bool ArrayView::contiguous_and_aligned() const {
    if (view_->buf == nullptr) return false;
    if (!PyBuffer_IsContiguous(view_.get(), 'A')) return false;
    return reinterpret_cast<std::uintptr_t>(view_->buf) % static_cast<std::uintptr_t>(view_->itemsize) == 0;
}

ArrayView to_array(PyObject* o, Dtype dtype, int ndim) {
    static const char* names[3][2] = {{"ndarray[float64, 1]", "ndarray[float64, 2]"},
                                      {"ndarray[float32, 1]", "ndarray[float32, 2]"},
                                      {"ndarray[uint32, 1]", "ndarray[uint32, 2]"}};
    const char* expected = names[static_cast<int>(dtype)][ndim - 1];
    if (!has_type(o, reinterpret_cast<PyTypeObject*>(ndarray_type()))) raise_not_instance(o, expected);

    ArrayView a;
    a.view_.reset(new Py_buffer{});
    if (PyObject_GetBuffer(o, a.view_.get(), PyBUF_RECORDS_RO) < 0) {
        a.view_.release();  // nothing to release: the buffer was never filled
        throw ErrorAlreadySet{};
    }
    const char* fmt = a.view_->format != nullptr ? a.view_->format : "B";
    if (*fmt == '<' || *fmt == '=' || *fmt == '@') ++fmt;
    const char* want = dtype == Dtype::F64 ? "d" : dtype == Dtype::F32 ? "f" : "I";
    std::size_t itemsize = dtype == Dtype::F64 ? 8 : 4;
    if (std::string(fmt) != want || static_cast<std::size_t>(a.view_->itemsize) != itemsize || a.view_->ndim != ndim) {
        // The array's own dtype name ("int64", ">f8", ...), as NumPy prints it.
        Ref dt = check(PyObject_GetAttrString(o, "dtype"));
        Ref dt_name = check(PyObject_Str(dt.get()));
        std::string given = "ndarray[" + to_str(dt_name.get()) + ", " + std::to_string(a.view_->ndim) + "]";
        raise(PyExc_TypeError, "'" + given + "' object is not an instance of '" + expected + "'");
    }
    return a;
}

std::vector<Vec3> rows3(const ArrayView& a, const char* name) {
    if (a.shape(1) != 3)
        throw InvalidInput(std::string(name) + " must have shape (n, 3), got " + a.shape_str());
    std::vector<Vec3> out(a.shape(0));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = {a.at<double>(i, 0), a.at<double>(i, 1), a.at<double>(i, 2)};
    return out;
}

Affine affine4(const ArrayView& a) {
    if (a.shape(0) != 4 || a.shape(1) != 4) throw InvalidInput("affine must be (4, 4), got " + a.shape_str());
    Affine m{};
    for (std::size_t r = 0; r < 4; ++r)
        for (std::size_t c = 0; c < 4; ++c) m[4 * r + c] = a.at<double>(r, c);
    return m;
}

void check_len(const char* name, std::size_t actual, std::size_t expected) {
    if (actual != expected)
        throw InvalidInput(std::string(name) + ": expected " + std::to_string(expected) + " values, got " +
                           std::to_string(actual));
}

// ---- dictionary readers ----

Ref dict_item(PyObject* dict, const char* key) {
    Ref k = check(PyUnicode_FromString(key));
    Ref v = Ref::borrow(PyDict_GetItemWithError(dict, k.get()));
    if (!v && PyErr_Occurred()) throw ErrorAlreadySet{};
    return v;
}

Ref dict_lookup(PyObject* dict, const char* key) {
    Ref v = dict_item(dict, key);
    return v.get() == Py_None ? Ref() : v;
}

double get_f64(PyObject* dict, const char* key, double def) {
    return read_or(dict, key, "a number", to_f64).value_or(def);
}

std::size_t get_usize(PyObject* dict, const char* key, std::size_t def) {
    return read_or(dict, key, "a non-negative integer", index_to_usize).value_or(def);
}

std::string get_str(PyObject* dict, const char* key, const std::string& def) {
    return read_or(dict, key, "a string", to_str).value_or(def);
}

bool get_bool(PyObject* dict, const char* key, bool def) {
    return read_or(dict, key, "a bool", to_bool).value_or(def);
}

// ---- results ----

PyObject* numpy_from_owner(std::shared_ptr<void> keep, void* data, std::size_t count, std::size_t itemsize,
                           const char* format, const char* dtype) {
    PyTypeObject* type = owner_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref owner = check(alloc(type, 0));
    auto* o = reinterpret_cast<Owner*>(owner.get());
    o->keep = new std::shared_ptr<void>(std::move(keep));
    o->data = data;
    o->count = static_cast<Py_ssize_t>(count);
    o->itemsize = static_cast<Py_ssize_t>(itemsize);
    o->bytes = static_cast<Py_ssize_t>(count * itemsize);
    o->format = format;
    Ref frombuffer = check(numpy_attr("frombuffer"));
    return check(PyObject_CallFunction(frombuffer.get(), "Os", owner.get(), dtype)).release();
}

PyObject* affine_to_py(const Affine& a) { return to_numpy(std::vector<double>(a.begin(), a.end())); }

std::vector<float> flat_pairs(std::span<const C> v) {
    std::vector<float> out(2 * v.size());
    for (std::size_t k = 0; k < v.size(); ++k) {
        out[2 * k] = static_cast<float>(v[k].re);
        out[2 * k + 1] = static_cast<float>(v[k].im);
    }
    return out;
}

Ref to_py(double v) { return check(PyFloat_FromDouble(v)); }
Ref to_py(std::size_t v) { return check(PyLong_FromSize_t(v)); }
Ref to_py_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref to_py(const std::string& v) {
    return check(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
}
Ref dims_to_py(const Dims& d) { return Ref(make_tuple({to_py(d[0]), to_py(d[1]), to_py(d[2])})); }

PyObject* make_tuple(std::initializer_list<Ref> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Ref& r : items) {
        if (!r) throw ErrorAlreadySet{};
        PyTuple_SetItem(t.get(), i++, Ref(r).release());
    }
    return t.release();
}

}  // namespace quorvel::py
