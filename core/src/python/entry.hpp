// The call entry every function of both modules goes through: no C++ exception may unwind into
// the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "exceptions.hpp"
#include "handle.hpp"

namespace velmora::py {

using Wrapper = PyResult<Object> (*)(PyObject* args, PyObject* kwargs);

// Exhausted memory is a condition Python reports as MemoryError (which needs no allocation to
// raise); anything else escaping a wrapper is a broken invariant and raised as PanicException.
template <Wrapper F>
PyObject* call_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    try {
        auto result = F(args, kwargs);
        return result ? result->release() : nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unexpected failure in the native core");
    }
    return nullptr;
}

template <Wrapper F>
constexpr PyMethodDef method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_entry<F>)),
            METH_VARARGS | METH_KEYWORDS, doc};
}

}  // namespace velmora::py
