// The array engine's seeded stream and its element-wise and conversion helpers: what the
// velmora.arrays functions need besides the models.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../python/handle.hpp"

namespace velmora::py {

PyResult<Object> normal(PyObject* args, PyObject* kwargs);
PyResult<Object> seeds(PyObject* args, PyObject* kwargs);
PyResult<Object> uniform(PyObject* args, PyObject* kwargs);
PyResult<Object> discounted_value(PyObject* args, PyObject* kwargs);
PyResult<Object> as_double(PyObject* args, PyObject* kwargs);
PyResult<Object> as_seed(PyObject* args, PyObject* kwargs);
PyResult<Object> as_doubles(PyObject* args, PyObject* kwargs);

}  // namespace velmora::py
