// The module's exception classes and the raising of core errors and panics.
#pragma once

#include "../error.hpp"
#include "handle.hpp"

namespace velmora::py {

// In the order they are registered on the module.
enum class ExceptionClass { VelmoraException, InvalidParameter, SingularMatrix, NumericalDivergence, DimensionMismatch };
inline constexpr ExceptionClass all_exception_classes[] = {
    ExceptionClass::VelmoraException, ExceptionClass::InvalidParameter, ExceptionClass::SingularMatrix,
    ExceptionClass::NumericalDivergence, ExceptionClass::DimensionMismatch};

// Short name of a class as it appears on the module.
const char* short_name(ExceptionClass which);

// Borrowed reference to the class, created once per process on first need; throws Panic if the
// interpreter cannot create it.
PyObject* exception_class(ExceptionClass which);

// Raises the class of the error's kind with its message as the only argument.
std::unexpected<Raised> raise(VelmoraError error);

// Raises PanicException(message); aborts the process when even that is impossible.
void raise_panic(const char* message) noexcept;

}  // namespace velmora::py
