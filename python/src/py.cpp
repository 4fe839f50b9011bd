#include "py.hpp"

#include <cstdio>
#include <new>

#include <unistd.h>

#include "core/error.hpp"

namespace quorvel::py {

void park_thread() noexcept {
    for (;;) pause();
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorAlreadySet{};
}

void add_processing_note(const char* name) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr) {
        if (tb != nullptr) PyException_SetTraceback(value, tb);
        std::string note = "while processing '" + std::string(name) + "'";
        PyObject* r = PyObject_CallMethod(value, "add_note", "s", note.c_str());
        if (r == nullptr) {
            // A failing note must not replace the real error.
            PyErr_Clear();
        }
        Py_XDECREF(r);
    }
    PyErr_Restore(type, value, tb);
}

void set_python_error_from_current_exception() {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
    } catch (const InvalidInput& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const Panic& e) {
        std::fprintf(stderr, "quorvel: internal error: %s\n", e.what());
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvel: internal error: %s\n", e.what());
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace quorvel::py
