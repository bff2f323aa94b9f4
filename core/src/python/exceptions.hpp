// The module's exception classes and the raising of core errors and panics.
#pragma once

#include <iterator>
#include <variant>

#include "../error.hpp"
#include "handle.hpp"

namespace velmora::py {

// In the order they are registered on the module.
enum class ExceptionClass { VelmoraException, InvalidParameter, SingularMatrix, NumericalDivergence, DimensionMismatch };
inline constexpr ExceptionClass all_exception_classes[] = {
    ExceptionClass::VelmoraException, ExceptionClass::InvalidParameter, ExceptionClass::SingularMatrix,
    ExceptionClass::NumericalDivergence, ExceptionClass::DimensionMismatch};

// A core error of kind K raises the class just after the base class in the table, in ErrorKind's
// order; checked here so that adding a kind cannot shift the mapping.
template <class K>
inline constexpr ExceptionClass class_of = static_cast<ExceptionClass>(kind_index<K>() + 1);
static_assert(std::size(all_exception_classes) == std::variant_size_v<ErrorKind> + 1);
static_assert(class_of<InvalidParameter> == ExceptionClass::InvalidParameter);
static_assert(class_of<SingularMatrix> == ExceptionClass::SingularMatrix);
static_assert(class_of<NumericalDivergence> == ExceptionClass::NumericalDivergence);
static_assert(class_of<DimensionMismatch> == ExceptionClass::DimensionMismatch);

// Short name of a class as it appears on the module.
const char* short_name(ExceptionClass which);

// Borrowed reference to the class, created once per process on first need; throws Panic if the
// interpreter cannot create it.
PyObject* exception_class(ExceptionClass which);

// Raises the class of the error's kind with its message as the only argument.
std::unexpected<Raised> raise(VelmoraError error);

// Raises PanicException(message); MemoryError when memory is too short even for that.
void raise_panic(const char* message) noexcept;

}  // namespace velmora::py
