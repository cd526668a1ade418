#pragma once
// How failures leave the module: its own errors as RuntimeError with their
// message (an endpoint no beat can reach as ValueError; a call refused in a
// forked child, beat::InheritedRuntime, or after leave, beat::LeftPool, as
// RuntimeError); a C++ exception escaping a call (an internal invariant
// failure) as PanicException, which derives from BaseException so that
// ordinary `except Exception` handlers do not swallow it. The process lives on.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "murlo/client/beat/shared.hpp"

namespace murlo::client::module {

// Creates the PanicException type once; false with an error set on failure.
bool init_errors();

// RuntimeError with `message`; returns null for `return raise_runtime(...)`.
PyObject* raise_runtime(std::string_view message);
// ValueError with `message`; only for an endpoint no beat could reach.
PyObject* raise_value(std::string_view message);
// PanicException with `message`; returns null.
PyObject* raise_panic(std::string_view message);

// Runs `body` (returning a new reference or null with an error set) and turns
// a C++ exception escaping it into the matching Python error: a call refused
// in a forked child or after leave into RuntimeError with its advice, an
// allocation failure into MemoryError, anything else into PanicException.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const beat::InheritedRuntime& e) {
        return raise_runtime(e.what());
    } catch (const beat::LeftPool& e) {
        return raise_runtime(e.what());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("internal failure");
    }
}

// Releases the interpreter lock for its lifetime; takes it back when it ends,
// also while an exception unwinds.
class Released {
public:
    Released() : state_(PyEval_SaveThread()) {}
    ~Released() { PyEval_RestoreThread(state_); }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace murlo::client::module
