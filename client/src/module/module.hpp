#pragma once
// What the module's initialiser puts together.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace murlo::client::module {

// A new Client type object, or null with an error set.
PyObject* make_client_type();

// serve_registry(listen, ttl_ms)
extern PyMethodDef serve_registry_def;

}  // namespace murlo::client::module
