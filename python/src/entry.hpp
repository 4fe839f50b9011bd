#pragma once
// How a Python-visible function or method is declared: a C++ function
//     PyObject* impl(PyObject* self, Args& args)
// plus one row def<impl>(name, doc), where doc starts with the text signature
// ("name(a, b, c=None)\n--\n\n..."). The signature is parsed once, when the row is built, and
// drives the argument matching (PyArg_ParseTupleAndKeywords, the interpreter's own wording).
#include <array>
#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "py.hpp"

namespace quorvel::py {

struct Signature {
    struct Param {
        std::string name;
        bool required = true;
        bool none_default = false;  // declared "=None": an explicit None counts as not given
    };
    std::string func;
    std::vector<Param> params;  // "$self" excluded
    std::string format;         // "OO|O:func"

    static Signature parse(const char* doc);
    std::size_t index(const char* name) const;
};

inline constexpr std::size_t kMaxParams = 32;

class Args {
public:
    Args(const Signature& sig, PyObject* args, PyObject* kwargs);
    ~Args();
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;

    // The argument as given, or null when absent (or None under a None default). Args holds it
    // for the whole call: keyword values may come from a dict that the caller keeps and that the
    // Python code run by converting another argument can empty (operator.methodcaller passes
    // its own).
    PyObject* raw(const char* name) const { return values_[sig_.index(name)]; }
    bool given(const char* name) const { return raw(name) != nullptr; }

    // Converts a required argument; a failure gets the note "while processing '<name>'".
    template <class F>
    auto get(const char* name, F&& convert) const {
        PyObject* v = raw(name);
        try {
            return convert(v);
        } catch (const ErrorAlreadySet&) {
            add_processing_note(name);
            throw;
        }
    }
    // Converts an optional argument; none when it was not given.
    template <class F>
    auto opt(const char* name, F&& convert) const -> std::optional<decltype(convert(nullptr))> {
        if (!given(name)) return std::nullopt;
        return get(name, convert);
    }

private:
    const Signature& sig_;
    std::array<PyObject*, kMaxParams> values_{};
};

using Impl = PyObject* (*)(PyObject* self, Args& args);

template <Impl F>
struct Entry {
    static inline Signature sig;
    static PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&] {
            Args a(sig, args, kwargs);
            return F(self, a);
        });
    }
};

// The method-table row of impl F; flags may add METH_STATIC.
template <Impl F>
PyMethodDef def(const char* name, const char* doc, int flags = 0) {
    Entry<F>::sig = Signature::parse(doc);
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Entry<F>::call)),
            METH_VARARGS | METH_KEYWORDS | flags, doc};
}

// ---- classes: a heap type whose instances hold one C++ value of type T ----

template <class T>
struct Instance {
    PyObject_HEAD
    T value;
};

template <class T>
T& value_of(PyObject* self) {
    return reinterpret_cast<Instance<T>*>(self)->value;
}

template <class T>
void destroy_instance(PyObject* self) {
    value_of<T>(self).~T();
    PyTypeObject* tp = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(self);
    Py_DECREF(tp);
}

// A new instance of type holding value.
template <class T>
PyObject* new_instance(PyTypeObject* type, T value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) throw ErrorAlreadySet{};
    new (&value_of<T>(self)) T(std::move(value));
    return self;
}

// The value of an argument that must be an instance of type (TypeError naming `expected`).
template <class T>
T& instance_arg(PyObject* o, PyTypeObject* type, const char* expected);

// Read-only property: G(self) returns a new reference.
using Getter = PyObject* (*)(PyObject* self);
template <Getter G>
PyObject* property(PyObject* self, void*) {
    return guarded([&] { return G(self); });
}
template <Getter G>
PyGetSetDef prop(const char* name, const char* doc = nullptr) {
    return {name, &property<G>, nullptr, doc, nullptr};
}

// Creates a final, non-instantiable heap type "quorvel._core.<name>" holding a T.
PyTypeObject* make_type(const char* qualified_name, const char* doc, std::size_t basicsize, destructor dealloc,
                        std::vector<PyMethodDef> methods, std::vector<PyGetSetDef> props);
template <class T>
PyTypeObject* make_class(const char* qualified_name, const char* doc, std::vector<PyMethodDef> methods,
                         std::vector<PyGetSetDef> props) {
    return make_type(qualified_name, doc, sizeof(Instance<T>), &destroy_instance<T>, std::move(methods),
                     std::move(props));
}

[[noreturn]] void raise_not_instance_of(PyObject* o, const char* expected);

template <class T>
T& instance_arg(PyObject* o, PyTypeObject* type, const char* expected) {
    if (!has_type(o, type)) raise_not_instance_of(o, expected);
    return value_of<T>(o);
}

}  // namespace quorvel::py
