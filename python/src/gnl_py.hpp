#pragma once
// The Python classes GradCoef and GnlField: immutable faces over shared library values.
#include <memory>

#include "entry.hpp"
#include "signal/gnl.hpp"

namespace quorvel::bind {

// Build the type objects; lib.cpp registers them third and fourth.
PyTypeObject* make_gradcoef_type();
PyTypeObject* make_gnlfield_type();

// The field of an argument that must be a GnlField; TypeError
// "'<type>' object is not an instance of 'GnlField'" otherwise.
std::shared_ptr<const gnl::GnlField> gnlfield_arg(PyObject* o);

}  // namespace quorvel::bind
