// The module's functions: their method records, in registration order.
#pragma once

#include <Python.h>

#include <span>

namespace velmora::py {

std::span<PyMethodDef> method_table();

}  // namespace velmora::py
