#include "core/method_function.hpp"

#include <cstddef>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "core/arg_binding.hpp"
#include "core/names.hpp"

namespace llm_metrics {

namespace {

// The extension is built without C++ exceptions (nothing in it throws, and
// it then needs no C++ runtime library at load time); a build with them
// still never lets one reach Python.
PyObject* run_body(MethodFunction* fn, PyObject* const* bound, PyObject* extra) {
#if defined(__cpp_exceptions)
    try {
        return fn->spec->body(fn, bound, extra);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in llm_metrics");
        return nullptr;
    }
#else
    return fn->spec->body(fn, bound, extra);
#endif
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    MethodFunction* fn = as_method_function(callable);
    const FunctionSpec& spec = *fn->spec;
    Ref keep_alive = Ref::borrow(callable);
    if (PyVectorcall_NARGS(nargsf) == spec.n_params && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) &&
        !spec.var_keywords && spec.exact_dict_param < 0) {
        // Every parameter given by position and nothing else: the arguments
        // are the bound parameters as they are.
        return run_body(fn, args, nullptr);
    }
    PyObject* bound[kMaxParams];
    Ref extra;
    // The defaults tuple may be replaced while the body runs; keep the one
    // the arguments were bound from alive until the call ends.
    Ref defaults = Ref::borrow(fn->defaults);
    if (bind_arguments(fn, args, PyVectorcall_NARGS(nargsf), kwnames, bound, extra) < 0) {
        return nullptr;
    }
    return run_body(fn, bound, extra.get());
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodFunction* fn = as_method_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->param_names);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->reduce_name);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->scope);
    return 0;
}

int function_clear(PyObject* self) {
    MethodFunction* fn = as_method_function(self);
    Py_CLEAR(fn->param_names);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->reduce_name);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->scope);
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

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_method_function(self)->qualname, self);
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

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_method_function(self)->qualname); }

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

PyObject* get_defaults(PyObject* self, void*) { return get_or_none(as_method_function(self)->defaults); }

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_method_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) { return get_or_none(as_method_function(self)->kwdefaults); }

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_method_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    MethodFunction* fn = as_method_function(self);
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
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return get_or_none(as_method_function(self)->globals); }

// inspect.signature() asks non-function callables for __signature__; build
// it from the parameter table, the current defaults and the annotations.
PyObject* get_signature(PyObject* self, void*) {
    MethodFunction* fn = as_method_function(self);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return nullptr;
    }
    // Each read only once the one before succeeded: no call with an exception set.
    Ref parameter_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter_cls) {
        return nullptr;
    }
    Ref signature_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature_cls) {
        return nullptr;
    }
    Ref positional = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "POSITIONAL_OR_KEYWORD"));
    if (!positional) {
        return nullptr;
    }
    Ref var_keyword = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "VAR_KEYWORD"));
    if (!var_keyword) {
        return nullptr;
    }
    Ref empty = Ref::steal(PyObject_GetAttrString(signature_cls.get(), "empty"));
    if (!empty) {
        return nullptr;
    }
    Ref annotations = Ref::steal(get_annotations(self, nullptr));
    if (!annotations) {
        return nullptr;
    }
    const FunctionSpec& spec = *fn->spec;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) {
        return nullptr;
    }
    Ref kwnames = Ref::steal(Py_BuildValue("(ss)", "default", "annotation"));
    if (!kwnames) {
        return nullptr;
    }
    const Py_ssize_t n_defaults = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
    const Py_ssize_t n_all = spec.n_params + (spec.var_keywords ? 1 : 0);
    for (Py_ssize_t i = 0; i < n_all; ++i) {
        const bool is_var_keyword = i == spec.n_params;
        Ref name = Ref::steal(PyUnicode_FromString(is_var_keyword ? "kwargs" : spec.params[i]));
        if (!name) {
            return nullptr;
        }
        PyObject* default_value = empty.get();
        const Py_ssize_t default_index = i - (spec.n_params - n_defaults);
        if (!is_var_keyword && default_index >= 0 && default_index < n_defaults) {
            default_value = PyTuple_GET_ITEM(fn->defaults, default_index);
        }
        Ref annotation;
        if (PyDict_GetItemRef(annotations.get(), name.get(), annotation.put()) < 0) {
            return nullptr;
        }
        PyObject* call_args[] = {name.get(), is_var_keyword ? var_keyword.get() : positional.get(),
                                 default_value, annotation ? annotation.get() : empty.get()};
        Ref parameter = Ref::steal(PyObject_Vectorcall(parameter_cls.get(), call_args, 2, kwnames.get()));
        if (!parameter || PyList_Append(params.get(), parameter.get()) < 0) {
            return nullptr;
        }
    }
    Ref return_annotation;
    if (PyDict_GetItemRef(annotations.get(), names.return_, return_annotation.put()) < 0) {
        return nullptr;
    }
    Ref return_kwname = Ref::steal(Py_BuildValue("(s)", "return_annotation"));
    if (!return_kwname) {
        return nullptr;
    }
    PyObject* sig_args[] = {params.get(), return_annotation ? return_annotation.get() : empty.get()};
    return PyObject_Vectorcall(signature_cls.get(), sig_args, 1, return_kwname.get());
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_method_function(self)->reduce_name);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
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

PyType_Spec function_spec = {
    .name = "llm_metrics.function",
    .basicsize = sizeof(MethodFunction),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

}  // namespace

PyTypeObject* MethodFunctionType = nullptr;

int init_method_function_type() {
    if (MethodFunctionType != nullptr) {
        return 0;
    }
    MethodFunctionType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    if (MethodFunctionType == nullptr) {
        // CPython 3.13.0 can fail to allocate the type's name without saying so.
        return PyErr_Occurred() ? -1 : (PyErr_NoMemory(), -1);
    }
    return 0;
}

namespace {

struct OwnedTexts {
    Ref param_names;
    Ref name;
    Ref qualname;
    Ref reduce_name;
};

// An interned parameter name.  The same few names recur across the
// functions (self above all), so each is interned once and reused.
PyObject* param_name(const char* text) {
    struct Known {
        const char* text;
        PyObject* name;  // strong, for the life of the process
    };
    static Known known[32];
    static size_t n_known = 0;
    for (size_t i = 0; i < n_known; ++i) {
        if (known[i].text == text || strcmp(known[i].text, text) == 0) {
            return Py_NewRef(known[i].name);
        }
    }
    PyObject* name = intern_ascii(text, strlen(text));
    if (name != nullptr && n_known < std::size(known)) {
        known[n_known++] = Known{text, Py_NewRef(name)};
    }
    return name;
}

int build_texts(const FunctionSpec& spec, const char* qualname_text, const char* reduce_name_text, OwnedTexts& out) {
    Ref param_names = Ref::steal(PyTuple_New(spec.n_params));
    if (!param_names) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < spec.n_params; ++i) {
        PyObject* name = param_name(spec.params[i]);
        if (name == nullptr) {
            return -1;
        }
        PyTuple_SET_ITEM(param_names.get(), i, name);
    }
    Ref name = Ref::steal(intern_ascii(spec.name, strlen(spec.name)));
    if (!name) {
        return -1;
    }
    Ref qualname = Ref::steal(PyUnicode_FromString(qualname_text ? qualname_text : spec.name));
    if (!qualname) {
        return -1;
    }
    Ref reduce_name = reduce_name_text ? Ref::steal(PyUnicode_FromString(reduce_name_text)) : qualname;
    if (!reduce_name) {
        return -1;
    }
    out = OwnedTexts{std::move(param_names), std::move(name), std::move(qualname), std::move(reduce_name)};
    return 0;
}

}  // namespace

int make_function_texts(const FunctionSpec& spec, const char* qualname, const char* reduce_name, FunctionTexts& out) {
    OwnedTexts texts;
    if (build_texts(spec, qualname, reduce_name, texts) < 0) {
        return -1;
    }
    out.param_names = texts.param_names.release();
    out.name = texts.name.release();
    out.qualname = texts.qualname.release();
    out.reduce_name = texts.reduce_name.release();
    return 0;
}

Ref new_method_function(const FunctionSpec& spec, PyObject* module, PyObject* globals,
                        const FunctionOptions& options) {
    OwnedTexts texts;
    if (options.texts != nullptr) {
        texts.param_names = Ref::borrow(options.texts->param_names);
        texts.name = Ref::borrow(options.texts->name);
        texts.qualname = Ref::borrow(options.texts->qualname);
        texts.reduce_name = Ref::borrow(options.texts->reduce_name);
    } else if (build_texts(spec, options.qualname, options.reduce_name, texts) < 0) {
        return {};
    }
    MethodFunction* fn = PyObject_GC_New(MethodFunction, MethodFunctionType);
    if (fn == nullptr) {
        return {};
    }
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->param_names = texts.param_names.release();
    fn->name = texts.name.release();
    fn->qualname = texts.qualname.release();
    fn->reduce_name = texts.reduce_name.release();
    fn->module = Py_XNewRef(module);
    fn->doc = Py_NewRef(options.doc ? options.doc : Py_None);
    fn->defaults = Py_XNewRef(options.defaults);
    fn->kwdefaults = nullptr;
    fn->annotations = Py_XNewRef(options.annotations);
    fn->dict = nullptr;
    fn->globals = Py_XNewRef(globals);
    fn->scope = Py_XNewRef(options.scope);
    fn->weakreflist = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace llm_metrics
