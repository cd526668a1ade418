#pragma once
// The one conversion layer between Python and the module: binding a call's
// arguments to named parameters, turning each bound object into its C++ value,
// and turning results back into Python objects. Every function that can fail
// returns false (or null) with a Python error set.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace murlo::client::module {

// A callable's name and parameters, all positional-or-keyword; the first
// `required` have no default.
struct Signature {
    const char* name;
    std::initializer_list<const char*> params;
    std::size_t required;
};

// Binds a vectorcall's arguments to `out` (one slot per parameter, null where
// omitted). Errors are the interpreter's binding TypeErrors.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);
// The same for a tuple and a keyword dict (either may be null).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions of one bound object. Wrong types raise TypeError
// "argument '{name}': {what}", out-of-range integers OverflowError, and text
// that cannot be encoded as UTF-8 the interpreter's UnicodeEncodeError.
// Borrowed text stays valid while the argument object lives.
bool convert(PyObject* obj, const char* name, std::string_view& out);
bool convert(PyObject* obj, const char* name, std::string& out);
bool convert(PyObject* obj, const char* name, std::uint64_t& out);
bool convert(PyObject* obj, const char* name, std::int32_t& out);
bool convert(PyObject* obj, const char* name, bool& out);                      // True/False (and NumPy's bool) only
bool convert(PyObject* obj, const char* name, std::vector<std::string>& out);  // a sequence of str, not a str

// None is absent; anything else converts as T.
template <class T>
bool convert(PyObject* obj, const char* name, std::optional<T>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    T value{};
    if (!convert(obj, name, value)) return false;
    out = std::move(value);
    return true;
}

// Converts the bound arguments in parameter order into `outs` (one per
// parameter); an unbound one keeps its default. The first failure wins.
template <class... Outs>
bool convert_bound(const Signature& sig, PyObject* const* bound, Outs&... outs) {
    std::size_t i = 0;
    auto one = [&](auto& out) {
        PyObject* obj = bound[i];
        const char* name = sig.params.begin()[i];
        ++i;
        return obj == nullptr || convert(obj, name, out);
    };
    return (one(outs) && ...);
}

// Binds a call's arguments, then converts them into `outs`.
template <class... Outs>
bool parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Outs&... outs) {
    PyObject* bound[sizeof...(Outs)] = {};
    return bind(sig, args, nargsf, kwnames, bound) && convert_bound(sig, bound, outs...);
}

template <class... Outs>
bool parse(const Signature& sig, PyObject* args, PyObject* kwargs, Outs&... outs) {
    PyObject* bound[sizeof...(Outs)] = {};
    return bind(sig, args, kwargs, bound) && convert_bound(sig, bound, outs...);
}

// Results: new references, or null with an error set.
PyObject* to_python(std::uint64_t n);
PyObject* to_python(std::string_view text);
PyObject* to_python_bool(bool b);
PyObject* to_python(const std::optional<std::uint64_t>& n);
PyObject* to_python(const std::optional<std::string>& text);
PyObject* to_python(const std::vector<std::string>& texts);
// A tuple that steals the given references; null (and every reference dropped)
// when any of them is null.
PyObject* tuple_of(std::initializer_list<PyObject*> items);

}  // namespace murlo::client::module
