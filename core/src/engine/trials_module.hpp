// The array engine's entry points for a participant's trials one by one (trials.hpp): each
// trial's log-likelihood and simulated responses. Registered in module.cpp's method table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../python/handle.hpp"

namespace velmora::py {

// trial_logliks(model, response, inputs, responses | None, *, params, loglik, belief=None, optional=0)
// -> None, or (kind, message) of the model's failure.
PyResult<Object> trial_logliks(PyObject* args, PyObject* kwargs);

// simulate_responses(model, response, inputs, seed, *, params, out, belief=None, optional=0)
// -> None, or (kind, message) of the model's failure.
PyResult<Object> simulate_responses(PyObject* args, PyObject* kwargs);

}  // namespace velmora::py
