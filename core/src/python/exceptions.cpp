#include "exceptions.hpp"

#include <array>
#include <variant>

namespace velmora::py {

namespace {

struct ClassSpec {
    const char* dotted_name;
    const char* doc;
};

constexpr std::array<ClassSpec, std::size(all_exception_classes)> class_specs{{
    {"_core.VelmoraException", "Base class for all velmora core errors."},
    {"_core.InvalidParameter", "A parameter was out of its valid range."},
    {"_core.SingularMatrix", "A matrix could not be inverted."},
    {"_core.NumericalDivergence", "The filter produced a non-finite value."},
    {"_core.DimensionMismatch", "Sequence lengths did not match."},
}};

// Filled once and never emptied: the classes live as long as the process.
std::array<PyObject*, std::size(all_exception_classes)> class_cells{};
PyObject* panic_cell = nullptr;

PyObject* create_class(const char* dotted_name, const char* doc, PyObject* base) {
    PyObject* cls = PyErr_NewExceptionWithDoc(dotted_name, doc, base, nullptr);
    if (!cls) {
        PyErr_Clear();
        throw Panic("Failed to initialize new exception type.");
    }
    return cls;
}

}  // namespace

const char* short_name(ExceptionClass which) {
    const char* dotted = class_specs[static_cast<std::size_t>(which)].dotted_name;
    return dotted + sizeof("_core.") - 1;
}

PyObject* exception_class(ExceptionClass which) {
    const auto i = static_cast<std::size_t>(which);
    if (!class_cells[i]) {
        PyObject* base = which == ExceptionClass::VelmoraException
                             ? PyExc_Exception
                             : exception_class(ExceptionClass::VelmoraException);
        PyObject* cls = create_class(class_specs[i].dotted_name, class_specs[i].doc, base);
        if (class_cells[i])
            Py_DECREF(cls);  // filled in the meantime: the first one stays
        else
            class_cells[i] = cls;
    }
    return class_cells[i];
}

std::unexpected<Raised> raise(VelmoraError error) {
    const std::string message = error.to_string();
    const ExceptionClass which = std::visit([]<class K>(const K&) { return class_of<K>; }, error.kind);
    PyObject* cls = exception_class(which);
    Object text = Object::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return failed();
    PyErr_SetObject(cls, text.get());
    return std::unexpected(Raised{});
}

void raise_panic(const char* message) noexcept {
    if (!panic_cell) {
        panic_cell = PyErr_NewExceptionWithDoc(
            "_core.PanicException",
            "An internal failure of the native core; derives from BaseException so that "
            "`except Exception` does not swallow it.",
            PyExc_BaseException, nullptr);
    }
    if (panic_cell) {
        Object args = Object::steal(Py_BuildValue("(s)", message));
        if (args) {
            PyErr_SetObject(panic_cell, args.get());
            return;
        }
    }
    // The class or its argument could not be made: memory is exhausted, which is what to report.
    PyErr_NoMemory();
}

}  // namespace velmora::py
