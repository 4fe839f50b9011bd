#pragma once
// Argument conversion (Python -> library values) and result conversion (library -> NumPy).
//
// Two levels, as every function applies them:
//  * type conversion (to_usize, to_dims, to_array, ...): the Python type must be right; a
//    failure is the conversion's own TypeError/OverflowError, raised through ErrorAlreadySet
//    (Args adds the note naming the parameter);
//  * value checks (flat, rows3, affine4, check_len, the dict readers): throw InvalidInput,
//    which reaches Python as ValueError with the message unchanged.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/complex.hpp"
#include "core/error.hpp"
#include "core/sizes.hpp"
#include "core/text.hpp"
#include "py.hpp"

namespace quorvel::py {

using Vec3 = std::array<double, 3>;
using Dims = std::array<std::size_t, 3>;
using Affine = std::array<double, 16>;

// ---- scalars, strings, tuples, sequences, dicts ----

std::size_t to_usize(PyObject* o);       // non-negative machine size; negative -> OverflowError
std::int32_t to_i32(PyObject* o);
std::uint64_t to_u64(PyObject* o);       // 0 .. 2^64 - 1
double to_f64(PyObject* o);              // anything the interpreter converts to float
float to_f32(PyObject* o);               // to_f64 narrowed to the nearest float32
bool to_bool(PyObject* o);               // a Python bool or a NumPy boolean scalar only
std::string to_str(PyObject* o);         // a str only
PyObject* to_dict(PyObject* o);          // a dict (or subclass); returns o, borrowed
PyObject* to_tuple_of(PyObject* o, std::size_t n);  // a tuple of exactly n items; returns o
Dims to_dims(PyObject* o);               // a tuple of three non-negative ints

// A tuple of exactly N items, each converted by item(). The tuple is held while its items are
// converted: an item's __float__ or __index__ may drop every other reference to it (take it out
// of the dict it came from), and its items are borrowed from it.
template <std::size_t N, class F>
auto to_array_tuple(PyObject* o, F item) {
    const Ref tuple = Ref::borrow(to_tuple_of(o, N));
    std::array<decltype(item(o)), N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = item(PyTuple_GetItem(tuple.get(), static_cast<Py_ssize_t>(i)));
    return out;
}

// "{name}: expected {expected} values, got {actual}" when they differ.
void check_len(const char* name, std::size_t actual, std::size_t expected);

void check_sequence(PyObject* o);  // any sequence but a str
// Any sequence except str (refused with "Can't extract `str` to `Vec`"), items by item(). The
// length is weighed before anything is reserved or read, so that range(2**62) is refused at once
// instead of failing to reserve or converting items for ever: a parameter that takes exactly
// `count` values refuses a longer sequence with check_len's message, any other refuses one whose
// values cannot be held in memory. Other wrong lengths are left to the caller's own check, made
// in its usual order.
template <class F>
auto to_list(PyObject* o, F item, const char* name, std::optional<std::size_t> count = std::nullopt) {
    check_sequence(o);
    const Ref held = Ref::borrow(o);  // as in to_array_tuple
    const Py_ssize_t n = PySequence_Size(o);
    check(static_cast<int>(n < 0 ? -1 : 0));
    using T = decltype(item(o));
    const auto len = static_cast<std::size_t>(n);
    if (count && len > *count) check_len(name, len, *count);
    check_fits_memory(name, len, {sizeof(T)});
    std::vector<T> out;
    out.reserve(len);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref it = check(PySequence_GetItem(o, i));
        out.push_back(item(it.get()));
    }
    return out;
}

// Passes each item of the iterable o to f. An iterable has no length to weigh beforehand, so its
// items are counted instead: the one that would make more than memory holds at `item_bytes` each
// ends the reading with "{name}: {count} {name} cannot be held in memory", and an endless
// iterable cannot grow a list without bound.
template <class F>
void for_each_item(PyObject* o, const char* name, std::size_t item_bytes, F f) {
    const Ref it = check(PyObject_GetIter(o));
    for (std::size_t count = 1;; ++count) {
        const Ref item(PyIter_Next(it.get()));
        if (!item) break;
        check_fits_memory(name, count, {item_bytes}, name);
        f(item.get());
    }
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
}

// TypeError "'<type of o>' object is not an instance of '<expected>'".
[[noreturn]] void raise_not_instance(PyObject* o, const char* expected);
std::string type_name(PyObject* o);  // the name of o's real type (its __class__ may lie)

// ---- arrays ----

enum class Dtype { F64, F32, U32 };

// A read-only NumPy array borrowed for the duration of a call.
class ArrayView {
public:
    ArrayView() = default;
    ArrayView(ArrayView&&) noexcept = default;
    ArrayView& operator=(ArrayView&&) noexcept = default;

    int ndim() const { return view_->ndim; }
    std::size_t shape(int axis) const { return static_cast<std::size_t>(view_->shape[axis]); }
    std::size_t size() const;  // product of the dimensions
    // Shape as "[a, b]".
    std::string shape_str() const;

    // Element (i) of a 1-D or (i, j) of a 2-D view, read through the strides.
    template <class T>
    T at(std::size_t i) const {
        T v;
        std::memcpy(&v, ptr(static_cast<Py_ssize_t>(i) * view_->strides[0]), sizeof(T));
        return v;
    }
    template <class T>
    T at(std::size_t i, std::size_t j) const {
        T v;
        std::memcpy(&v, ptr(static_cast<Py_ssize_t>(i) * view_->strides[0] +
                            static_cast<Py_ssize_t>(j) * view_->strides[1]), sizeof(T));
        return v;
    }

    // Contiguous (either order), aligned and with data; empty views always pass.
    bool contiguous_and_aligned() const;
    const void* data() const { return view_->buf; }

private:
    friend ArrayView to_array(PyObject* o, Dtype dtype, int ndim);
    struct Release {
        void operator()(Py_buffer* b) const {
            PyBuffer_Release(b);
            delete b;
        }
    };
    const char* ptr(Py_ssize_t offset) const { return static_cast<const char*>(view_->buf) + offset; }
    std::unique_ptr<Py_buffer, Release> view_;
};

// A numpy.ndarray of exactly this dtype and number of dimensions, else TypeError.
ArrayView to_array(PyObject* o, Dtype dtype, int ndim);
inline ArrayView to_f64_1d(PyObject* o) { return to_array(o, Dtype::F64, 1); }
inline ArrayView to_f32_1d(PyObject* o) { return to_array(o, Dtype::F32, 1); }
inline ArrayView to_u32_1d(PyObject* o) { return to_array(o, Dtype::U32, 1); }
inline ArrayView to_f64_2d(PyObject* o) { return to_array(o, Dtype::F64, 2); }

// The error every flat reader raises for a non-contiguous or misaligned non-empty array.
inline constexpr const char* kNotContiguous = "The given array is not contiguous or is misaligned.";

// Copies a 1-D array in memory order (empty for a size-0 array, whatever its layout).
template <class T>
std::vector<T> flat(const ArrayView& a) {
    const std::size_t n = a.size();
    if (n == 0) return {};
    if (!a.contiguous_and_aligned()) throw InvalidInput(kNotContiguous);
    std::vector<T> out(n);
    std::memcpy(out.data(), a.data(), n * sizeof(T));
    return out;
}
inline std::vector<float> f32s(const ArrayView& a) { return flat<float>(a); }

// (n, 3) float64 rows in order; "{name} must have shape (n, 3), got [n, m]" otherwise.
std::vector<Vec3> rows3(const ArrayView& a, const char* name);
// A (4, 4) float64 matrix, row-major; "affine must be (4, 4), got [r, c]" otherwise.
Affine affine4(const ArrayView& a);

// ---- dictionary readers: absent or None gives the default ----

// The value under key, held: converting it may run code that removes it from the dict. Null
// when absent; a lookup error (a key's __eq__) propagates.
Ref dict_item(PyObject* dict, const char* key);
Ref dict_lookup(PyObject* dict, const char* key);  // dict_item, with None counting as absent

// The value under key converted by convert, none when absent or None; a failed conversion
// becomes ValueError "{key}: expected {what}".
template <class F>
auto read_or(PyObject* dict, const char* key, const char* what, F convert) -> std::optional<decltype(convert(dict))> {
    const Ref v = dict_lookup(dict, key);
    if (!v) return std::nullopt;
    try {
        return convert(v.get());
    } catch (const ErrorAlreadySet&) {
        PyErr_Clear();
        throw InvalidInput(std::string(key) + ": expected " + what);
    }
}
double get_f64(PyObject* dict, const char* key, double def);          // "{key}: expected a number"
std::size_t get_usize(PyObject* dict, const char* key, std::size_t def);  // "...a non-negative integer"
std::string get_str(PyObject* dict, const char* key, const std::string& def);  // "...a string"
bool get_bool(PyObject* dict, const char* key, bool def);             // "{key}: expected a bool"

// Debug rendering used in messages: a string in double quotes with escapes, a size list "[a, b]".
using quorvel::debug_list;
using quorvel::debug_str;

// ---- results ----

// Hands an owned buffer to NumPy as a 1-D array without copying; the array keeps it alive.
template <class T>
PyObject* to_numpy(std::vector<T>&& v);
// Copies values into a new 1-D array (for buffers that stay inside an object).
template <class T>
PyObject* copy_to_numpy(std::span<const T> v) {
    return to_numpy(std::vector<T>(v.begin(), v.end()));
}

PyObject* affine_to_py(const Affine& a);         // float64 (16,), row-major
std::vector<float> flat_pairs(std::span<const C> v);  // re0, im0, re1, im1, ... as float32

Ref to_py(double v);
Ref to_py(std::size_t v);
Ref to_py_bool(bool v);
Ref to_py(const std::string& v);
Ref dims_to_py(const Dims& d);

// Builds a dict with keys in insertion order; set() steals the value reference.
class DictBuilder {
public:
    DictBuilder() : d_(check(PyDict_New())) {}
    DictBuilder& set(const char* key, Ref value) {
        check(PyDict_SetItemString(d_.get(), key, check(value.release()).get()));
        return *this;
    }
    DictBuilder& set(const char* key, PyObject* owned) { return set(key, Ref(owned)); }
    PyObject* release() { return d_.release(); }

private:
    Ref d_;
};

// A new tuple of the given references (build each Ref before the call, so that a failure
// while building one cannot leak the others).
PyObject* make_tuple(std::initializer_list<Ref> items);

// ---- implementation detail of to_numpy ----
PyObject* numpy_from_owner(std::shared_ptr<void> owner, void* data, std::size_t count,
                           std::size_t itemsize, const char* format, const char* dtype);

template <class T>
struct NumpyType;
template <> struct NumpyType<double> { static constexpr const char* format = "d", *dtype = "float64"; };
template <> struct NumpyType<float> { static constexpr const char* format = "f", *dtype = "float32"; };
template <> struct NumpyType<std::uint32_t> { static constexpr const char* format = "I", *dtype = "uint32"; };
template <> struct NumpyType<std::uint8_t> { static constexpr const char* format = "B", *dtype = "uint8"; };
template <> struct NumpyType<std::int16_t> { static constexpr const char* format = "h", *dtype = "int16"; };

template <class T>
PyObject* to_numpy(std::vector<T>&& v) {
    auto owned = std::make_shared<std::vector<T>>(std::move(v));
    void* data = owned->data();
    std::size_t n = owned->size();
    return numpy_from_owner(std::move(owned), data, n, sizeof(T), NumpyType<T>::format, NumpyType<T>::dtype);
}

}  // namespace quorvel::py
