// The module entry: creates `_core` once per process and hands the cached module to later imports.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>

#include "exceptions.hpp"
#include "functions.hpp"

namespace velmora::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "The compiled core module: `velmora._core`.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr const char* module_doc = "Compiled core engine for velmora (precision-weighted Bayesian inference).";

// The module keeps process-wide state, so only the first interpreter that imports it may use it.
std::atomic<std::int64_t> initialising_interpreter{-1};
PyObject* module_cache = nullptr;

// Sets the attribute and appends its name to `__all__`, creating `__all__` on first use.
PyResult<void> add_attribute(PyObject* module, const char* name, PyObject* value) {
    Object all = Object::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return failed();
        PyErr_Clear();
        all = Object::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return failed();
    }
    Object key = Object::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return failed();
    if (PyObject_SetAttr(module, key.get(), value) < 0) return failed();
    return {};
}

PyResult<void> add_function(PyObject* module, PyMethodDef* def) {
    Object module_name = Object::steal(PyModule_GetNameObject(module));
    if (!module_name) return failed();
    Object function = Object::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function) return failed();
    Object name = Object::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return failed();
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (!text) return failed();
    return add_attribute(module, text, function.get());
}

PyResult<void> module_body(PyObject* module) {
    Object doc = Object::steal(PyUnicode_FromString(module_doc));
    if (!doc) return failed();
    if (auto added = add_attribute(module, "__doc__", doc.get()); !added) return added;
    for (ExceptionClass which : all_exception_classes)
        if (auto added = add_attribute(module, short_name(which), exception_class(which)); !added) return added;
    for (PyMethodDef& def : method_table())
        if (auto added = add_function(module, &def); !added) return added;
    return {};
}

PyResult<Object> init_module() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return failed();
    std::int64_t expected = -1;
    if (!initialising_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        PyErr_SetString(PyExc_ImportError,
                        "velmora._core keeps process-wide state and does not support being imported in more than "
                        "one interpreter: extension modules that do not yet support subinterpreters can be "
                        "imported only once per process");
        return std::unexpected(Raised{});
    }
    if (module_cache) return Object::borrow(module_cache);

    Object module = Object::steal(PyModule_Create2(&module_def, 3));
    if (!module) return failed();
    if (auto body = module_body(module.get()); !body) return std::unexpected(body.error());
    if (!module_cache) module_cache = Object::borrow(module.get()).release();
    return Object::borrow(module_cache);
}

}  // namespace

}  // namespace velmora::py

PyMODINIT_FUNC PyInit__core() {
    try {
        auto module = velmora::py::init_module();
        return module ? module->release() : nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        velmora::py::raise_panic(e.what());
    } catch (...) {
        velmora::py::raise_panic("unexpected failure while initialising velmora._core");
    }
    return nullptr;
}
