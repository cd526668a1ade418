#include "convert.hpp"

#include <cstring>

namespace murlo::client::module {

namespace {

std::size_t index_of(const Signature& sig, PyObject* keyword) {
    std::size_t i = 0;
    for (const char* param : sig.params) {
        if (PyUnicode_CompareWithASCIIString(keyword, param) == 0) return i;
        ++i;
    }
    return sig.params.size();
}

// The keyword's value, or null; keywords come as a vectorcall's names and
// values or as a dict (then `names` is null).
struct Keywords {
    PyObject* names = nullptr;  // tuple of str, vectorcall form
    PyObject* const* values = nullptr;
    PyObject* dict = nullptr;
    Py_ssize_t count = 0;

    PyObject* find(const char* name) const {
        if (dict != nullptr) return PyDict_GetItemString(dict, name);
        for (Py_ssize_t k = 0; k < count; ++k)
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(names, k), name) == 0) return values[k];
        return nullptr;
    }
};

// The interpreter's binding rules and wording for functions whose parameters
// are all positional-or-keyword.
bool bind_keywords(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, const Keywords& kw, PyObject** out) {
    const auto max = static_cast<Py_ssize_t>(sig.params.size());
    if (nargs + kw.count > max) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd %sargument%s (%zd given)", sig.name, max,
                     nargs == 0 ? "keyword " : "", max == 1 ? "" : "s", nargs + kw.count);
        return false;
    }
    Py_ssize_t left = kw.count;
    for (Py_ssize_t i = 0; i < max; ++i) {
        const char* name = sig.params.begin()[i];
        PyObject* value = nullptr;
        if (i < nargs) {
            value = args[i];
        } else if (left > 0) {
            value = kw.find(name);
            if (value != nullptr) --left;
        }
        out[i] = value;
        if (value == nullptr && static_cast<std::size_t>(i) < sig.required) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", sig.name, name, i + 1);
            return false;
        }
    }
    if (left == 0) return true;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        const char* name = sig.params.begin()[i];
        if (kw.find(name) != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", sig.name, name,
                         i + 1);
            return false;
        }
    }
    // Some keyword names no parameter: report the first such.
    auto unexpected = [&](PyObject* key) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return true;
        }
        if (index_of(sig, key) < sig.params.size()) return false;
        PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %s()", key, sig.name);
        return true;
    };
    if (kw.dict != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kw.dict, &pos, &key, &value))
            if (unexpected(key)) return false;
    } else {
        for (Py_ssize_t k = 0; k < kw.count; ++k)
            if (unexpected(PyTuple_GET_ITEM(kw.names, k))) return false;
    }
    PyErr_Format(PyExc_TypeError, "%s() got unexpected keyword arguments", sig.name);
    return false;
}

// "argument '{name}': {message}", a TypeError.
void wrong_type(const char* name, const char* what, PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s, not %.200s", name, what, Py_TYPE(obj)->tp_name);
}

// A TypeError raised by the interpreter's own conversion gets the parameter's
// name in front; any other error passes unchanged.
void name_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    if (text == nullptr) return;  // the error of PyObject_Str stands
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
    Py_DECREF(text);
}

// The integer an object stands for (index conversion; floats refused).
PyObject* as_index(PyObject* obj, const char* name) {
    if (PyLong_CheckExact(obj)) return Py_NewRef(obj);
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) name_type_error(name);
    return index;
}

bool is_numpy_bool(PyObject* obj) {
    const char* type_name = Py_TYPE(obj)->tp_name;
    return std::strcmp(type_name, "numpy.bool_") == 0 || std::strcmp(type_name, "numpy.bool") == 0;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Keywords kw;
    if (kwnames != nullptr) {
        kw.names = kwnames;
        kw.values = args + nargs;
        kw.count = PyTuple_GET_SIZE(kwnames);
    }
    return bind_keywords(sig, args, nargs, kw, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Keywords kw;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        kw.dict = kwargs;
        kw.count = PyDict_GET_SIZE(kwargs);
        // PyDict_GetItemString by a parameter's name needs str keys throughout.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
        }
    }
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    PyObject* const* items = args != nullptr ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    return bind_keywords(sig, items, nargs, kw, out);
}

bool convert(PyObject* obj, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        wrong_type(name, "must be str", obj);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;  // UnicodeEncodeError, unchanged
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool convert(PyObject* obj, const char* name, std::string& out) {
    std::string_view view;
    if (!convert(obj, name, view)) return false;
    out.assign(view);
    return true;
}

bool convert(PyObject* obj, const char* name, std::uint64_t& out) {
    PyObject* index = as_index(obj, name);
    if (index == nullptr) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;  // OverflowError
    out = value;
    return true;
}

bool convert(PyObject* obj, const char* name, std::int32_t& out) {
    PyObject* index = as_index(obj, name);
    if (index == nullptr) return false;
    const long value = PyLong_AsLong(index);
    Py_DECREF(index);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
        return false;
    }
    if (value < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

bool convert(PyObject* obj, const char* name, bool& out) {
    if (obj == Py_True || obj == Py_False) {
        out = obj == Py_True;
        return true;
    }
    if (is_numpy_bool(obj)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    wrong_type(name, "must be bool", obj);
    return false;
}

bool convert(PyObject* obj, const char* name, std::vector<std::string>& out) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
        wrong_type(name, "must be a sequence of str", obj);
        return false;
    }
    const std::string not_iterable = std::string("argument '") + name + "': must be a sequence of str";
    PyObject* items = PySequence_Fast(obj, not_iterable.c_str());
    if (items == nullptr) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    std::vector<std::string> texts;
    texts.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items, i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': item %zd must be str, not %.200s", name, i,
                         Py_TYPE(item)->tp_name);
            Py_DECREF(items);
            return false;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (data == nullptr) {
            Py_DECREF(items);
            return false;
        }
        texts.emplace_back(data, static_cast<std::size_t>(size));
    }
    Py_DECREF(items);
    out = std::move(texts);
    return true;
}

PyObject* to_python(std::uint64_t n) { return PyLong_FromUnsignedLongLong(n); }

PyObject* to_python(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_python_bool(bool b) { return PyBool_FromLong(b ? 1 : 0); }

PyObject* to_python(const std::optional<std::uint64_t>& n) { return n ? to_python(*n) : Py_NewRef(Py_None); }

PyObject* to_python(const std::optional<std::string>& text) {
    return text ? to_python(std::string_view(*text)) : Py_NewRef(Py_None);
}

PyObject* to_python(const std::vector<std::string>& texts) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(texts.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* item = to_python(std::string_view(texts[i]));
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    bool complete = true;
    for (PyObject* item : items) complete = complete && item != nullptr;
    PyObject* tuple = complete ? PyTuple_New(static_cast<Py_ssize_t>(items.size())) : nullptr;
    if (tuple == nullptr) {
        for (PyObject* item : items) Py_XDECREF(item);
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple, i++, item);
    return tuple;
}

}  // namespace murlo::client::module
