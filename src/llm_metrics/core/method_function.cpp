#include "core/method_function.hpp"

#include <cstddef>
#include <new>

#include "core/arg_binding.hpp"
#include "core/recursion.hpp"
#include "core/state.hpp"

namespace llm_metrics {

namespace {

// The extension is built without C++ exceptions (nothing in it throws, and
// it then needs no C++ runtime library at load time); a build with them
// still never lets one reach Python.
PyObject* run_body(MethodFunction* fn, PyObject* const* bound, PyObject* extra) {
#if defined(__cpp_exceptions)
    try {
        return fn->spec->body.invoke(fn, bound, extra);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in llm_metrics");
        return nullptr;
    }
#else
    return fn->spec->body.invoke(fn, bound, extra);
#endif
}

// Any other call: the arguments bound to the parameters first (kept out of
// line, so that the call of every parameter by position stays small).
[[gnu::noinline]] PyObject* bind_and_run(MethodFunction* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* bound[kMaxParams];
    Ref extra;
    // The defaults tuple may be replaced while the body runs; the binder
    // hands back the one the arguments were bound from, kept until the call ends.
    Ref defaults;
    if (bind_arguments(fn, args, PyVectorcall_NARGS(nargsf), kwnames, bound, extra, defaults) < 0) {
        return nullptr;
    }
    return run_body(fn, bound, extra.get());
}

PyObject* call_body(MethodFunction* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FunctionSpec& spec = *fn->spec;
    if (PyVectorcall_NARGS(nargsf) == spec.body.n_params && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) &&
        !spec.body.var_keywords && spec.exact_dict == nullptr) {
        // Every parameter given by position and nothing else: the arguments
        // are the bound parameters as they are.
        return run_body(fn, args, nullptr);
    }
    return bind_and_run(fn, args, nargsf, kwnames);
}

// Each call is one level of the recursion depth a Python frame counts
// against, with the native stack measured as the interpreter measures it
// (core/recursion.hpp), so that a chain that re-enters a method through the
// Python code it calls ends in RecursionError where plain Python ends it,
// never in a native stack overflow.  The caller holds the function for the
// length of the call, as the calling convention asks of every caller; the
// thread state stays the one this thread runs on (a greenlet switch inside
// the body swaps its contents, and swaps them back before the body returns).
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyThreadState* ts = PyThreadState_Get();
    if (enter_level(ts) != 0) {
        return nullptr;
    }
    PyObject* result = call_body(as_method_function(callable), args, nargsf, kwnames);
    leave_level(ts);
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodFunction* fn = as_method_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->param_names);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->locals);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
#if PY_VERSION_HEX >= 0x030E0000
    Py_VISIT(fn->annotate);
#endif
    Py_VISIT(fn->dict);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->scope);
    Py_VISIT(fn->code);
    return 0;
}

int function_clear(PyObject* self) {
    MethodFunction* fn = as_method_function(self);
    Py_CLEAR(fn->param_names);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->locals);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
#if PY_VERSION_HEX >= 0x030E0000
    Py_CLEAR(fn->annotate);
#endif
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->scope);
    Py_CLEAR(fn->code);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    MethodFunction* fn = as_method_function(self);
    if (fn->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// __qualname__ (borrowed).  A function made inside another builds it from
// its enclosing name the first time it is asked for, so that creating one
// allocates no text.  Null with an exception set on failure.
PyObject* qualname_of(MethodFunction* fn) {
    if (fn->qualname == nullptr) {
        PyObject* name = state().consts.*fn->spec->name;  // the name it was made with
        fn->qualname = fn->locals != nullptr ? PyUnicode_Concat(fn->locals, name) : Py_NewRef(name);
    }
    return fn->qualname;
}

PyObject* function_repr(PyObject* self) {
    PyObject* qualname = qualname_of(as_method_function(self));
    return qualname != nullptr ? PyUnicode_FromFormat("<function %U at %p>", qualname, self) : nullptr;
}

// Plain function through the class, bound method through an instance.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

// --- attributes -------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_method_function(self)->name); }

int set_str_attr(PyObject*& slot, PyObject* value, const char* attr) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
        return -1;
    }
    Py_XSETREF(slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_attr(as_method_function(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) { return Py_XNewRef(qualname_of(as_method_function(self))); }

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_attr(as_method_function(self)->qualname, value, "__qualname__");
}

PyObject* get_or_none(PyObject* slot) { return Py_NewRef(slot != nullptr ? slot : Py_None); }

PyObject* get_module(PyObject* self, void*) { return get_or_none(as_method_function(self)->module); }

int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_method_function(self)->module, Py_XNewRef(value));
    return 0;
}

PyObject* get_doc(PyObject* self, void*) { return get_or_none(as_method_function(self)->doc); }

int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_method_function(self)->doc, Py_XNewRef(value));
    return 0;
}

// Reading, replacing and removing the defaults raise the audit events a
// Python function raises, so that a hook (PEP 578) sees and can refuse them:
// object.__getattr__ (function, name) for a read, object.__setattr__
// (function, name, value) for an assignment and object.__delattr__
// (function, name) for a deletion or an assignment of None.  A value of the
// wrong type fails before any event.  The slot is read after the hook ran.
int audit_read(PyObject* self, const char* attr) { return PySys_Audit("object.__getattr__", "Os", self, attr); }

int audit_write(PyObject* self, const char* attr, PyObject* value) {
    return value != nullptr ? PySys_Audit("object.__setattr__", "OsO", self, attr, value)
                            : PySys_Audit("object.__delattr__", "Os", self, attr);
}

PyObject* get_defaults(PyObject* self, void*) {
    if (audit_read(self, "__defaults__") < 0) {
        return nullptr;
    }
    return get_or_none(as_method_function(self)->defaults);
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (audit_write(self, "__defaults__", value) < 0) {
        return -1;
    }
    Py_XSETREF(as_method_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    if (audit_read(self, "__kwdefaults__") < 0) {
        return nullptr;
    }
    return get_or_none(as_method_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (audit_write(self, "__kwdefaults__", value) < 0) {
        return -1;
    }
    Py_XSETREF(as_method_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 a function's annotations come from its __annotate__ the first
// time they are read, __annotate__(1) (annotationlib's VALUE format), kept
// until __annotate__ or __annotations__ is replaced.  Replacing
// __annotations__ (or deleting it) drops __annotate__; a callable
// __annotate__ drops the annotations kept, None keeps them.
PyObject* annotations_from_annotate(MethodFunction* fn) {
    Ref annotate = Ref::borrow(fn->annotate);  // the call may replace it
    Ref format = Ref::steal(PyLong_FromLong(1));
    if (!format) {
        return nullptr;
    }
    Ref dict = Ref::steal(PyObject_CallOneArg(annotate.get(), format.get()));
    if (!dict) {
        return nullptr;
    }
    if (!PyDict_Check(dict.get())) {
#if PY_VERSION_HEX >= 0x030F0000
        PyErr_Format(PyExc_TypeError, kAnnotateNotDictFormat, dict.get());
#else
        PyErr_Format(PyExc_TypeError, kAnnotateNotDictFormat, Py_TYPE(dict.get())->tp_name);
#endif
        return nullptr;
    }
    Py_XSETREF(fn->annotations, Py_NewRef(dict.get()));
    return dict.release();
}

PyObject* get_annotate(PyObject* self, void*) { return get_or_none(as_method_function(self)->annotate); }

int set_annotate(PyObject* self, PyObject* value, void*) {
    MethodFunction* fn = as_method_function(self);
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, kAnnotateNotDeletable);
        return -1;
    }
    if (value == Py_None) {
        Py_XSETREF(fn->annotate, Py_NewRef(value));
        return 0;
    }
    if (!PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, kAnnotateNotCallable);
        return -1;
    }
    Py_XSETREF(fn->annotate, Py_NewRef(value));
    Py_CLEAR(fn->annotations);
    return 0;
}
#endif

PyObject* get_annotations(PyObject* self, void*) {
    MethodFunction* fn = as_method_function(self);
#if PY_VERSION_HEX >= 0x030E0000
    if (fn->annotations == nullptr && fn->annotate != nullptr && PyCallable_Check(fn->annotate)) {
        return annotations_from_annotate(fn);
    }
#endif
    if (fn->annotations == nullptr) {
        fn->annotations = PyDict_New();
        if (fn->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(fn->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_method_function(self)->annotations, Py_XNewRef(value));
#if PY_VERSION_HEX >= 0x030E0000
    Py_CLEAR(as_method_function(self)->annotate);
#endif
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return get_or_none(as_method_function(self)->globals); }

// A code object with the body, constants, names, file, name and line
// tables of `empty` (an empty code object), and the given parameters.  The
// one use of the unstable constructor: no stable function makes a code
// object with parameters, and the public ones that do (code(),
// code.replace()) raise an audit event.
PyObject* new_code_like(PyObject* empty, int argcount, int flags, PyObject* varnames, PyObject* qualname) {
    Ref body = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(empty)));
    Ref consts = Ref::steal(body ? PyObject_GetAttr(empty, state().consts.co_consts) : nullptr);
    Ref names = Ref::steal(consts ? PyObject_GetAttr(empty, state().consts.co_names) : nullptr);
    Ref filename = Ref::steal(names ? PyObject_GetAttr(empty, state().consts.co_filename) : nullptr);
    Ref name = Ref::steal(filename ? PyObject_GetAttr(empty, state().consts.co_name) : nullptr);
    Ref linetable = Ref::steal(name ? PyObject_GetAttr(empty, state().consts.co_linetable) : nullptr);
    Ref exceptions = Ref::steal(linetable ? PyObject_GetAttr(empty, state().consts.co_exceptiontable) : nullptr);
    Ref stacksize = Ref::steal(exceptions ? PyObject_GetAttr(empty, state().consts.co_stacksize) : nullptr);
    Ref no_cells = Ref::steal(stacksize ? PyTuple_New(0) : nullptr);
    if (!no_cells) {
        return nullptr;
    }
    const int stack = PyLong_AsInt(stacksize.get());
    if (stack == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, static_cast<int>(PyTuple_GET_SIZE(varnames)), stack, flags, body.get(), consts.get(),
        names.get(), varnames, no_cells.get(), no_cells.get(), filename.get(), name.get(), qualname, 1, linetable.get(),
        exceptions.get()));
}

// __code__: a code object that tells `inspect` (and whatever else reads a
// function's code for its parameters) what the body binds: the parameter
// names, their count and **kwargs in the flags.  It is never run: its body
// is that of an empty code object.  Made the first time it is asked for and
// kept, as a Python function keeps its own; read-only.  Reading it raises
// the audit event a Python function's does, and nothing else: the object is
// made by the constructors that raise none (code() and code.replace() raise
// "code.__new__", which a hook may refuse).  inspect.signature() finds the
// rest as on a Python function: __defaults__, __kwdefaults__ and the
// annotations (and, from 3.14, __annotate__ for the annotation formats), and
// honours __signature__ and __wrapped__ set in the function's __dict__.
PyObject* new_code(MethodFunction* fn) {
    const FunctionSpec& spec = *fn->spec;
    PyObject* qualname = qualname_of(fn);
    if (qualname == nullptr) {
        return nullptr;
    }
    Ref varnames = Ref::borrow(fn->param_names);
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.body.var_keywords) {
        flags |= CO_VARKEYWORDS;
        varnames = Ref::steal(PyTuple_Pack(1, state().consts.kwargs));
        if (varnames) {
            varnames = Ref::steal(PySequence_Concat(fn->param_names, varnames.get()));
        }
        if (!varnames) {
            return nullptr;
        }
    }
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kCodeFileName, spec_name_text(spec), 1)));
    return empty ? new_code_like(empty.get(), static_cast<int>(spec.body.n_params), flags, varnames.get(), qualname)
                 : nullptr;
}

PyObject* get_code(PyObject* self, void*) {
    if (audit_read(self, "__code__") < 0) {
        return nullptr;
    }
    MethodFunction* fn = as_method_function(self);
    if (fn->code == nullptr) {
        PyObject* code = new_code(fn);
        if (code == nullptr) {
            return nullptr;
        }
        if (fn->code == nullptr) {  // not made meanwhile by a call that ran code
            fn->code = code;
        } else {
            Py_DECREF(code);
        }
    }
    return Py_NewRef(fn->code);
}

// Pickled by reference, under its qualified name, as pickle saves a Python
// function: a name that does not lead back to the function (a private
// method's "LLMMetrics.__name", a function made inside another) fails there
// with pickle's own PicklingError.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_XNewRef(qualname_of(as_method_function(self))); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(MethodFunction, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(MethodFunction, weakreflist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(MethodFunction, dict), Py_READONLY, nullptr},
    {},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {},
};

}  // namespace

PyType_Spec function_spec = {
    .name = "llm_metrics.function",
    .basicsize = sizeof(MethodFunction),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

namespace {

// The tuple of the parameter names of `spec`, from the table of state().consts.
PyObject* param_names_of(const FunctionSpec& spec) {
    PyObject* tuple = PyTuple_New(spec.body.n_params);
    if (tuple != nullptr) {
        for (Py_ssize_t i = 0; i < spec.body.n_params; ++i) {
            PyTuple_SET_ITEM(tuple, i, Py_NewRef(param_name(spec, i)));
        }
    }
    return tuple;
}

// A new object for a default value of a row.
PyObject* new_default(const DefaultValue& value) {
    switch (value.kind) {
        case DefaultValue::Kind::none:
            return Py_NewRef(Py_None);
        case DefaultValue::Kind::boolean:
            return PyBool_FromLong(static_cast<long>(value.number));
        case DefaultValue::Kind::integer:
            return PyLong_FromLongLong(value.number);
        case DefaultValue::Kind::text:
            return PyUnicode_FromString(value.text);
        case DefaultValue::Kind::shared_empty_list:
            return PyList_New(0);
    }
    PyErr_SetString(PyExc_SystemError, "unknown kind of default value");
    return nullptr;
}

}  // namespace

Ref make_defaults(const FunctionSpec& spec) {
    const auto count = static_cast<Py_ssize_t>(spec.defaults.size());
    if (count == 0) {
        return {};
    }
    if (count > spec.body.n_params) {
        PyErr_Format(PyExc_SystemError, "%s() has more defaults than parameters", spec_name_text(spec));
        return {};
    }
    Ref tuple = Ref::steal(PyTuple_New(count));
    Py_ssize_t i = 0;
    for (const DefaultValue& value : spec.defaults) {
        PyObject* item = tuple ? new_default(value) : nullptr;
        if (item == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    return tuple;
}

Ref new_method_function(const FunctionSpec& spec, PyObject* module, PyObject* globals,
                        const FunctionOptions& options) {
    Ref param_names = Ref::steal(param_names_of(spec));
    if (!param_names) {
        return {};
    }
    Ref defaults = options.defaults ? Ref::borrow(options.defaults) : make_defaults(spec);
    if (!defaults && PyErr_Occurred()) {
        return {};
    }
    PyObject* name = state().consts.*spec.name;
    MethodFunction* fn = PyObject_GC_New(MethodFunction, state().function_type);
    if (fn == nullptr) {
        return {};
    }
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->param_names = param_names.release();
    fn->name = Py_NewRef(name);
    fn->qualname = Py_XNewRef(options.qualname != nullptr || options.locals != nullptr ? options.qualname : name);
    fn->locals = Py_XNewRef(options.locals);
    fn->module = Py_XNewRef(module);
    fn->doc = Py_NewRef(options.doc ? options.doc : Py_None);
    fn->defaults = defaults.release();
    fn->kwdefaults = nullptr;
    fn->annotations = Py_XNewRef(options.annotations);
#if PY_VERSION_HEX >= 0x030E0000
    fn->annotate = Py_XNewRef(options.annotate);
#endif
    fn->dict = nullptr;
    fn->globals = Py_XNewRef(globals);
    fn->scope = Py_XNewRef(options.scope);
    fn->code = nullptr;
    fn->weakreflist = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace llm_metrics
