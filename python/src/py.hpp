#pragma once
// The small Python toolkit every binding file uses: owned references, the exception that
// unwinds C++ while a Python error is set, releasing the interpreter lock, and the entry-point
// wrapper that turns every C++ failure into a Python exception.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <string>
#include <utility>

namespace quorvel::py {

// An owned (strong) reference; null means "no object".
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Whether o's real type is type or a subtype. isinstance() would believe a __class__ that claims
// the type (a mock does), and a converter that believed it would read another object's memory.
inline bool has_type(PyObject* o, PyTypeObject* type) { return PyObject_TypeCheck(o, type); }

// Thrown when a Python exception is already set; the entry wrapper lets it through.
struct ErrorAlreadySet {};

// Throws ErrorAlreadySet when p is null (a failed C-API call), else returns p as owned.
inline Ref check(PyObject* p) {
    if (p == nullptr) throw ErrorAlreadySet{};
    return Ref(p);
}
inline void check(int status) {
    if (status < 0) throw ErrorAlreadySet{};
}

// Sets a Python exception of the given type and unwinds.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Adds the note "while processing '<name>'" to the pending exception.
void add_processing_note(const char* name);

// Converts the exception in flight (inside a catch block) into a pending Python exception:
// InvalidInput -> ValueError, Panic -> SystemError (message also on stderr),
// bad_alloc -> MemoryError, other std::exception -> SystemError.
void set_python_error_from_current_exception();

// A thread that wants the interpreter lock back while the interpreter is shutting down is
// ended by CPython from inside the call (pthread_exit, which unwinds the thread). Unwinding
// would run our destructors without the lock and, on a pool worker, through the pool's own
// frames, and could free a stack that pool tasks still use. Such a thread waits for the process
// to end instead, as CPython itself does from 3.14 on: these never return then.
[[noreturn]] void park_thread() noexcept;

// Runs take, which takes the interpreter lock back (and may run Python with it); parks the
// thread instead when the interpreter is shutting down.
template <class F>
void take_lock_or_park(F&& take) {
    // Once shutdown has begun the thread state may already be gone: do not touch it.
    if (!Py_IsInitialized()) park_thread();
    try {
        take();
    } catch (const abi::__forced_unwind&) {
        park_thread();
    }
}

// Releases the interpreter lock for the lifetime of the object.
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() {
        take_lock_or_park([this] { PyEval_RestoreThread(state_); });
    }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    PyThreadState* state_;
};

// Runs f with the interpreter lock released and returns its result.
template <class F>
auto without_gil(F&& f) {
    WithoutGil released;
    return f();
}

// Calls f and turns any C++ failure into a pending Python exception; returns null then. A thread
// that CPython ends (a forced unwind from Python code run by f) unwinds on through.
template <class F>
PyObject* guarded(F&& f) {
    try {
        return f();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace quorvel::py
