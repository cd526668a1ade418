// The entry point of _murlo. The module is built once per process and belongs
// to the interpreter that built it: a later initialisation there (a re-import,
// also after `del sys.modules["_murlo"]`) returns the same object, and one from
// another interpreter is refused, since the module's objects cannot be shared.
// With no per-module state (m_size 0) the interpreter calls this function on
// every import instead of copying a saved module dict, so both checks run.

#include "errors.hpp"
#include "module.hpp"
#include "murlo/proto/version.hpp"

namespace {

using namespace murlo::client::module;

PyModuleDef murlo_module = {
    PyModuleDef_HEAD_INIT, "_murlo", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;       // strong reference, for the life of the process
PyInterpreterState* owner = nullptr;  // the interpreter that built it

// Sets `name` and appends it to __all__, which the first addition creates.
bool add_public(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            Py_DECREF(value);
            return false;
        }
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            Py_DECREF(value);
            return false;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    const bool ok = text != nullptr && PyList_Append(all, text) == 0 && PyModule_AddObjectRef(module, name, value) == 0;
    Py_XDECREF(text);
    Py_DECREF(all);
    Py_DECREF(value);
    return ok;
}

PyObject* build() {
    PyObject* module = PyModule_Create(&murlo_module);
    if (module == nullptr) return nullptr;
    PyObject* name = PyModule_GetNameObject(module);
    const bool ok =
        name != nullptr &&
        add_public(module, "version",
                   PyUnicode_FromStringAndSize(murlo::proto::version_text.data(),
                                               static_cast<Py_ssize_t>(murlo::proto::version_text.size()))) &&
        add_public(module, "Client", make_client_type()) &&
        add_public(module, "serve_registry", PyCFunction_NewEx(&serve_registry_def, module, name)) && init_errors();
    Py_XDECREF(name);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // namespace

PyMODINIT_FUNC PyInit__murlo(void) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (owner != nullptr && owner != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "_murlo is already initialised in another interpreter of this process and "
                        "cannot be shared with this one");
        return nullptr;
    }
    if (the_module != nullptr) return Py_NewRef(the_module);
    PyObject* module = build();
    if (module == nullptr) return nullptr;
    the_module = Py_NewRef(module);
    owner = interpreter;
    return module;
}
