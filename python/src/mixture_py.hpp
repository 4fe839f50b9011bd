#pragma once
// The Python class Mixture: an immutable face over a shared MixtureField. Other binding files
// take mixtures as arguments (mixture_arg), add methods (mixture_of) and return new ones
// (wrap_mixture).
#include <memory>

#include "entry.hpp"
#include "mixture/mixture.hpp"

namespace quorvel::bind {

// Builds the Mixture type object; lib.cpp registers it as the first class.
PyTypeObject* make_mixture_type();

// A new Mixture object sharing `field`.
PyObject* wrap_mixture(std::shared_ptr<const mixture::MixtureField> field);

// The field of an argument that must be a Mixture; TypeError
// "'<type>' object is not an instance of 'Mixture'" otherwise.
std::shared_ptr<const mixture::MixtureField> mixture_arg(PyObject* o);

// The field of `self`, for methods of the class.
const std::shared_ptr<const mixture::MixtureField>& mixture_of(PyObject* self);

}  // namespace quorvel::bind
