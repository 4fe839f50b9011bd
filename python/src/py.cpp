#include "py.hpp"

#include <cstdio>
#include <new>
#include <string_view>

#include <unistd.h>

#include "core/error.hpp"

namespace quorvel::py {

namespace {

// Sets a Python exception whose text is the whole message: PyErr_SetString would stop at a NUL
// byte, and bytes that are not UTF-8 become replacement characters instead of a decode error
// that hides the real one.
void set_error(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;  // the decoder's own error (memory) stays set
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void report_internal_error(std::string_view message) {
    std::fputs("quorvel: internal error: ", stderr);
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
}

}  // namespace

void park_thread() noexcept {
    for (;;) pause();
}

void raise(PyObject* type, const std::string& message) {
    set_error(type, message);
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
        set_error(PyExc_ValueError, e.text());
    } catch (const Panic& e) {
        report_internal_error(e.text());
        set_error(PyExc_SystemError, e.text());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        report_internal_error(e.what());
        set_error(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace quorvel::py
