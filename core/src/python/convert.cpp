#include "convert.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <optional>
#include <string_view>
#include <limits>
#include <string>

namespace velmora::py {

namespace {

// A reported length only sizes a reservation; beyond this many items it is not trusted, so a
// `__len__` that lies high cannot make us reserve absurd memory.
constexpr Py_ssize_t max_trusted_reservation = Py_ssize_t{1} << 16;

std::unexpected<Raised> type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return std::unexpected(Raised{});
}

std::string quoted_list(SignatureView sig, const std::vector<std::size_t>& missing) {
    std::string out;
    for (std::size_t k = 0; k < missing.size(); ++k) {
        if (k > 0) out += missing.size() == 2 ? " and " : (k + 1 == missing.size() ? ", and " : ", ");
        out += '\'';
        out += sig.params[missing[k]].name;
        out += '\'';
    }
    return out;
}

std::unexpected<Raised> too_many_positional(SignatureView sig, std::size_t given) {
    const std::string f = std::string(sig.function) + "()";
    const std::size_t total = sig.params.size();
    const std::string counts = sig.required == total
                                   ? std::to_string(total)
                                   : "from " + std::to_string(sig.required) + " to " + std::to_string(total);
    return type_error(f + " takes " + counts + " positional arguments but " + std::to_string(given) + " " +
                      (given == 1 ? "was" : "were") + " given");
}

// The slot of a keyword, or -1 when no parameter has that name.
std::ptrdiff_t find_param(SignatureView sig, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < sig.params.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) return static_cast<std::ptrdiff_t>(i);
    return -1;
}

// Messages that embed text the caller chose (a keyword, a type's name, another error's text)
// are built as Python strings, so that no character of it is lost or refused on the way.
std::unexpected<Raised> type_error_object(PyObject* message) {
    if (!message) return failed();
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
    return std::unexpected(Raised{});
}

Object type_qualname(PyObject* obj) {
    Object name = Object::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name && clear_if_ordinary()) name = Object::steal(PyUnicode_FromString("<failed to extract type name>"));
    return name;
}

// A default as Python writes the float: shortest digits, and ".0" when they form an integer.
std::string python_float_text(double value) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;  // 32 characters always hold a shortest double
    std::string text(buf, end);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text;
}

}  // namespace

bool clear_if_ordinary() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

std::string docstring(SignatureView sig, const char* description) {
    std::string out = std::string(sig.function) + "(";
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const Argument& p = sig.params[i];
        if (i > 0) out += ", ";
        out += p.name;
        if (i >= sig.required) out += p.defaults_to_none ? "=None" : "=" + python_float_text(p.default_value);
    }
    return out + ")\n--\n\n" + description;
}

PyResult<void> bind(SignatureView sig, PyObject* args, PyObject* kwargs, std::span<Object> slots) {
    const std::size_t total = sig.params.size();
    const auto given = static_cast<std::size_t>(PyTuple_Size(args));
    for (std::size_t i = 0; i < std::min(given, total); ++i)
        slots[i] = Object::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    if (given > total) return too_many_positional(sig, given);

    const std::string f = std::string(sig.function) + "()";
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const std::ptrdiff_t i = find_param(sig, key);
            if (i < 0)
                return type_error_object(
                    PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", f.c_str(), key));
            if (slots[static_cast<std::size_t>(i)])
                return type_error(f + " got multiple values for argument '" + sig.params[static_cast<std::size_t>(i)].name + "'");
            slots[static_cast<std::size_t>(i)] = Object::borrow(value);
        }
    }

    std::vector<std::size_t> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!slots[i]) missing.push_back(i);
    if (!missing.empty())
        return type_error(f + " missing " + std::to_string(missing.size()) + " required positional " +
                          (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(sig, missing));
    return {};
}

PyResult<double> to_double(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return std::unexpected(Raised{});
    return value;
}

namespace {

// Native doubles, as numpy.float64 arrays, array('d') and their memoryviews export them.
bool is_native_double_format(const char* format) {
    if (!format) return false;
    const std::string_view f(format);
    return f == "d" || f == "@d" || f == "=d" || (std::endian::native == std::endian::little && f == "<d");
}

// Exactly these types (never subclasses, which may override iteration) iterate over the values
// their buffer holds, in order, so reading the buffer gives what iterating them would.
PyResult<bool> iterates_as_its_buffer(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyMemoryView_Type) return true;
    Object module = Object::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    Object name = module ? Object::steal(PyType_GetQualName(type)) : Object();
    if (!module || !name) {
        if (!clear_if_ordinary()) return std::unexpected(Raised{});
        return false;
    }
    if (!PyUnicode_Check(module.get())) return false;
    const auto is = [&](const char* m, const char* n) {
        return PyUnicode_CompareWithASCIIString(module.get(), m) == 0 &&
               PyUnicode_CompareWithASCIIString(name.get(), n) == 0;
    };
    return is("array", "array") || is("numpy", "ndarray");
}

// One-dimensional contiguous native doubles are read in place from the exporter's memory.
PyResult<std::optional<Doubles>> read_double_buffer(PyObject* obj) {
    if (!PyObject_CheckBuffer(obj)) return std::nullopt;
    auto eligible = iterates_as_its_buffer(obj);
    if (!eligible) return std::unexpected(eligible.error());
    if (!*eligible) return std::nullopt;
    Py_buffer view{};
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) {
        // A memoryview that refuses its buffer has been released: iterating it would read freed
        // memory, so its own error stands. Other exporters may still iterate (an object array).
        if (Py_TYPE(obj) == &PyMemoryView_Type || !clear_if_ordinary()) return std::unexpected(Raised{});
        return std::nullopt;
    }
    Doubles held(view);  // released by `held` on every path from here
    if (view.ndim != 1 || view.itemsize != sizeof(double) || !is_native_double_format(view.format) ||
        !PyBuffer_IsContiguous(&view, 'C'))
        return std::nullopt;
    return std::optional<Doubles>(std::move(held));
}

// A list is read by index, as iterating it would: floats are read directly, and since only an
// item's __float__ can run code that changes the list, its length is read again only after one.
PyResult<std::vector<double>> read_list(PyObject* list) {
    Py_ssize_t size = PyList_Size(list);
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyList_GetItem(list, i);
        if (PyFloat_CheckExact(item)) {
            values.push_back(PyFloat_AsDouble(item));
            continue;
        }
        // The item must stay alive through its own conversion, whatever that does to the list; its
        // release can run code too (a __del__), so the length is read again only after that.
        auto value = to_double(Object::borrow(item).get());
        if (!value) return std::unexpected(value.error());
        values.push_back(*value);
        size = PyList_Size(list);
    }
    return values;
}

PyResult<std::vector<double>> read_tuple(PyObject* tuple) {
    const Py_ssize_t size = PyTuple_Size(tuple);
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        auto value = to_double(PyTuple_GetItem(tuple, i));  // the tuple keeps its items alive
        if (!value) return std::unexpected(value.error());
        values.push_back(*value);
    }
    return values;
}

PyResult<std::vector<double>> read_by_iteration(PyObject* obj) {
    std::vector<double> values;
    const Py_ssize_t reported = PySequence_Size(obj);
    if (reported < 0) {
        // The length only sizes the reservation, but an interrupt raised by it is the user's.
        if (!clear_if_ordinary()) return std::unexpected(Raised{});
    } else
        values.reserve(static_cast<std::size_t>(std::min(reported, max_trusted_reservation)));

    Object iterator = Object::steal(PyObject_GetIter(obj));
    if (!iterator) return failed();
    while (Object item = Object::steal(PyIter_Next(iterator.get()))) {
        auto value = to_double(item.get());
        if (!value) return std::unexpected(value.error());
        values.push_back(*value);
    }
    if (PyErr_Occurred()) return std::unexpected(Raised{});
    return values;
}

}  // namespace

PyResult<Doubles> to_doubles(PyObject* obj) {
    if (PyUnicode_Check(obj)) return type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) {
        Object name = type_qualname(obj);
        if (!name) return failed();
        return type_error_object(PyUnicode_FromFormat("'%U' object cannot be converted to 'Sequence'", name.get()));
    }
    const auto owned = [](PyResult<std::vector<double>> values) -> PyResult<Doubles> {
        if (!values) return std::unexpected(values.error());
        return Doubles(std::move(*values));
    };
    if (PyList_CheckExact(obj)) return owned(read_list(obj));
    if (PyTuple_CheckExact(obj)) return owned(read_tuple(obj));
    auto in_place = read_double_buffer(obj);
    if (!in_place) return std::unexpected(in_place.error());
    if (*in_place) return std::move(**in_place);
    return owned(read_by_iteration(obj));
}

PyResult<std::uint64_t> to_seed(PyObject* obj) {
    Object integer = PyLong_Check(obj) ? Object::borrow(obj) : Object::steal(PyNumber_Index(obj));
    if (!integer) return failed();
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) return std::unexpected(Raised{});
    return static_cast<std::uint64_t>(value);
}

std::unexpected<Raised> name_conversion_failure(const char* param) {
    if (!PyErr_Occurred()) return failed();
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::unexpected(Raised{});

    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    Object type = Object::steal(raw_type);
    Object value = Object::steal(raw_value);
    Object traceback = Object::steal(raw_traceback);
    if (type.get() != PyExc_TypeError) {  // a subclass keeps its own identity
        PyErr_Restore(type.release(), value.release(), traceback.release());
        return std::unexpected(Raised{});
    }

    Object message = Object::steal(PyUnicode_FromFormat("argument '%s': %S", param, value.get()));
    if (!message) return failed();
    Object renamed = Object::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!renamed) return failed();
    // The new error takes over the original's cause, not the original itself.
    PyException_SetCause(renamed.get(), PyException_GetCause(value.get()));
    PyErr_SetObject(PyExc_TypeError, renamed.get());
    return std::unexpected(Raised{});
}

PyResult<Object> build_float(double value) {
    Object f = Object::steal(PyFloat_FromDouble(value));
    if (!f) return failed();
    return f;
}

PyResult<Object> new_list(std::size_t size) {
    Object list = Object::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) return failed();
    return list;
}

PyResult<Object> build_list(std::span<const double> values) {
    auto list = new_list(values.size());
    if (!list) return list;
    for (std::size_t i = 0; i < values.size(); ++i) {
        auto f = build_float(values[i]);
        if (!f) return std::unexpected(f.error());
        PyList_SetItem(list->get(), static_cast<Py_ssize_t>(i), f->release());
    }
    return list;
}

PyResult<Object> build_tuple(std::span<const double> fields) {
    Object tuple = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(fields.size())));
    if (!tuple) return failed();
    for (std::size_t j = 0; j < fields.size(); ++j) {
        auto f = build_float(fields[j]);
        if (!f) return std::unexpected(f.error());
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(j), f->release());
    }
    // A tuple of floats can never be part of a reference cycle, so the collector need not watch it;
    // it would untrack it itself at its first pass, after the work this saves.
    PyObject_GC_UnTrack(tuple.get());
    return tuple;
}

}  // namespace velmora::py
