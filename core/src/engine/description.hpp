// The array engine's report of its models and response models: everything Python reads instead of
// restating a model (velmora.models builds its tables from it).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../python/handle.hpp"

namespace velmora::py {

// models() -> one dict per model of the table, in its order.
PyResult<Object> models(PyObject* args, PyObject* kwargs);

// responses() -> one dict per likelihood the engine computes, in its order.
PyResult<Object> responses(PyObject* args, PyObject* kwargs);

}  // namespace velmora::py
