#include "errors.hpp"

#include <string>

namespace murlo::client::module {

namespace {

// Lives as long as the process: the module is never unloaded.
PyObject* panic_type = nullptr;

PyObject* raise_with(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return nullptr;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return nullptr;
}

}  // namespace

bool init_errors() {
    if (panic_type != nullptr) return true;
    panic_type = PyErr_NewExceptionWithDoc(
        "_murlo.PanicException", "An internal invariant of the module failed during a call; the call was abandoned.",
        PyExc_BaseException, nullptr);
    return panic_type != nullptr;
}

PyObject* raise_runtime(std::string_view message) { return raise_with(PyExc_RuntimeError, message); }

PyObject* raise_value(std::string_view message) { return raise_with(PyExc_ValueError, message); }

PyObject* raise_panic(std::string_view message) {
    return raise_with(panic_type != nullptr ? panic_type : PyExc_SystemError, message);
}

}  // namespace murlo::client::module
