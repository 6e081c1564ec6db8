// Small helpers over the C API shared by the method bodies.
#pragma once

#include <Python.h>

#include <array>
#include <initializer_list>

#include "core/ref.hpp"

namespace llm_metrics {

// Module-level name lookup as a function body does it: the module globals,
// then the builtins; NameError "name '...' is not defined" when absent.
// The values found are remembered until the globals dictionary changes (see
// `watch_globals`), so repeated lookups of an unchanged global are cheap.
Ref lookup_global(PyObject* name);

// Starts mirroring `globals` (the module dictionary) in the lookup table of
// `lookup_global`, through a dictionary watcher.  Never fails: without a
// free watcher slot every lookup simply reads the dictionary.
void watch_globals(PyObject* globals);
// Stops mirroring and drops every remembered value.  Keeps any current exception.
void unwatch_globals();

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

// --- classes ---------------------------------------------------------------------

// Remembers the tp_init slot function the interpreter gives a class whose
// __init__ is not a C slot wrapper (taken from LLMMetrics once it exists).
void note_python_init_slot(initproc slot);

// Whether `callable(...)` is an ordinary class call that `construct` can run:
// a class whose metaclass is exactly `type`, without a vectorcall of its
// own (or with the one of `vectorcall` below), created by object.__new__,
// not abstract, and initialised by a Python-level __init__.
bool is_plain_class(PyObject* callable, vectorcallfunc own_vectorcall = nullptr);

// cls(*args, **kwargs) for a class that `is_plain_class` accepted, step for
// step as type.__call__ runs it (object.__new__ allocates, the type's
// __init__ is looked up and called with the instance first, and must return
// None), without the argument tuple and dictionary of the generic path.
// Vectorcall conventions for the arguments.
PyObject* construct(PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// type.__call__(cls, *args, **kwargs) from vectorcall arguments: the generic
// path, for classes whose own vectorcall finds that a fast path does not apply.
PyObject* type_call(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// callable(*args) through vectorcall (plain classes through `construct`).
template <size_t N>
Ref call(PyObject* callable, const std::array<PyObject*, N>& args) {
    if (is_plain_class(callable)) {
        return Ref::steal(construct(reinterpret_cast<PyTypeObject*>(callable), args.data(), N, nullptr));
    }
    return Ref::steal(PyObject_Vectorcall(callable, args.data(), N, nullptr));
}

// obj.<name> = value.  For an interned name this goes straight to the type's
// tp_setattro, which is all PyObject_SetAttr does with such a name.
inline int set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    setattrofunc setattro = Py_TYPE(obj)->tp_setattro;
    if (setattro != nullptr && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name)) {
        return setattro(obj, name, value);
    }
    return PyObject_SetAttr(obj, name, value);
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
