// Small helpers over the C API shared by the method bodies.
#pragma once

#include <Python.h>

#include <array>
#include <initializer_list>

#include "core/ref.hpp"

namespace llm_metrics {

// Module-level name lookup as a function body does it: the module globals,
// then the builtins; NameError "name '...' is not defined" when absent.
Ref lookup_global(PyObject* name);

// `from <module_name> import <attr_names...>` as an absolute import: a loaded
// module that has every name is taken from sys.modules, otherwise the module
// is imported with the module globals and the names as fromlist.  A missing
// name is an ImportError.  Fills `out` with one reference per name.
int import_from(PyObject* module_name, std::initializer_list<PyObject*> attr_names, Ref* out);

// Raises `exc_type(message)` while the current exception is being handled, so
// that the current exception becomes its __context__.  Always returns null.
PyObject* raise_in_handler(PyObject* exc_type, const char* message);

// True when the current exception is an instance of Exception (the only kind
// the install-hint guards turn into their own message).
inline bool current_exception_is_ordinary() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// format(value, "") joined over all pieces; pieces that are exact str are used as they are.
Ref format_join(std::initializer_list<PyObject*> pieces);

// print(text) through the builtin taken at initialisation.
int print_line(PyObject* text);

// callable(*args) through vectorcall.
template <size_t N>
Ref call(PyObject* callable, const std::array<PyObject*, N>& args) {
    return Ref::steal(PyObject_Vectorcall(callable, args.data(), N, nullptr));
}

// callable(*positional, **{kwnames[i]: values}) where `args` holds the
// positional values followed by the keyword values.
template <size_t N>
Ref call_kw(PyObject* callable, const std::array<PyObject*, N>& args, PyObject* kwnames) {
    const size_t nargs = N - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_Vectorcall(callable, args.data(), nargs, kwnames));
}

// callable(*args, **mapping): the callee receives its own copy of the items.
Ref call_with_mapping(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* mapping);

// self.<name>(*args) by attribute lookup on the instance (so subclasses can
// replace the method).  `args[0]` must be the instance.
template <size_t N>
Ref call_method(PyObject* name, const std::array<PyObject*, N>& args) {
    return Ref::steal(PyObject_VectorcallMethod(name, const_cast<PyObject**>(args.data()),
                                                N | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace llm_metrics
