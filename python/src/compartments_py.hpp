#pragma once
// The Python class Compartments: one mutable Compartments value behind a mutex. Binding files
// that read or change it take the mutex with CompartmentsGuard.
#include <optional>

#include "signal/compartments.hpp"
#include "entry.hpp"

namespace quorvel::bind {

// Builds the Compartments type object; lib.cpp registers it as the second class.
PyTypeObject* make_compartments_type();

// A new Compartments object owning value.
PyObject* wrap_compartments(compartments::Compartments value);

// Argument converter: o itself (borrowed) when it is a Compartments object, else TypeError.
PyObject* compartments_arg(PyObject* o);

// Marks the current thread, for the lifetime of the object, as running a callable on behalf of
// a call that holds obj's mutex (a progress callable, run on the thread that made the call). A
// guard on obj asked for from this thread meanwhile raises RuntimeError: waiting would wait for
// the call, which waits for the callable. Marks nest: a call made inside such a callable runs its
// own callables on the same thread, inside the outer marks, so they are refused both objects.
class ServingCall {
public:
    explicit ServingCall(PyObject* obj);
    ~ServingCall();
    ServingCall(const ServingCall&) = delete;
    ServingCall& operator=(const ServingCall&) = delete;

    // Whether this thread is serving, directly or through the calls it runs inside, a call that
    // holds obj's mutex.
    static bool serving(PyObject* obj);

private:
    PyObject* obj_;
    const ServingCall* outer_;  // the call this one runs inside, on the same thread
};

// Holds one object's mutex for its lifetime. Waits for a busy mutex with the interpreter lock
// released (a holder may need the interpreter lock back before it can let go), then takes it
// again. Raises TypeError for a non-Compartments object and RuntimeError "Compartments mutex
// poisoned" for a poisoned one, RuntimeError for an object whose mutex this thread's
// ServingCall holds, and RuntimeError in a forked child for an object that a thread of the
// parent held at the fork (that thread is gone and would never let go). A C++ exception
// escaping after write() poisons the object; one escaping before (a refused argument) leaves it
// as it was. Create no Python object and run no Python code while it is held: a collection
// could run a finaliser that uses the same object, which would then wait for this thread
// forever.
class CompartmentsGuard {
public:
    CompartmentsGuard(PyObject* obj, bool mutating);
    compartments::Compartments& value() { return guard_->value(); }
    compartments::Compartments& write() { return guard_->write(); }

private:
    std::optional<compartments::Locked::Guard> guard_;
};

}  // namespace quorvel::bind
