// The extension module llm_metrics: multi-phase initialisation and the
// module body (module-level imports, the warnings filter, LLMMetrics, __test__).
#include <Python.h>
#include <frameobject.h>

#include <array>

#include "browser/texts.hpp"
#include "core/calls.hpp"
#include "core/globals.hpp"
#include "core/imports.hpp"
#include "core/method_function.hpp"
#include "core/state.hpp"
#include "core/ref.hpp"
#include "core/scope.hpp"
#include "llm_metrics_class.hpp"

namespace llm_metrics {

namespace {

// --- process-wide state --------------------------------------------------------

PyTypeObject* make_type(PyType_Spec& spec) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr && !PyErr_Occurred()) {
        // CPython 3.13.0 can fail to allocate the type's name without saying so.
        PyErr_NoMemory();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

// The constants and the module's types; a no-op once that succeeded.  -1 with
// an exception set on failure, and nothing of them kept.
int init_state() {
    State& s = state();
    if (s.scope_type != nullptr) {
        return 0;
    }
    if (init_constants(s.consts) < 0) {
        return -1;
    }
    s.function_type = make_type(function_spec);
    s.scope_type = s.function_type != nullptr ? make_type(scope_spec) : nullptr;
    if (s.scope_type == nullptr || browser::init_texts() < 0) {
        Py_CLEAR(s.scope_type);
        Py_CLEAR(s.function_type);
        clear_constants(s.consts);
        return -1;
    }
    return 0;
}

// --- create step --------------------------------------------------------------

// Copies spec.<attr> to module.<target>; a missing attribute leaves it unset,
// and None is skipped unless `allow_none`.
int copy_spec_attr(PyObject* spec, PyObject* module, PyObject* attr, PyObject* target, bool allow_none) {
    Ref value;
    if (PyObject_GetOptionalAttr(spec, attr, value.put()) < 0) {
        return -1;
    }
    if (!value || (value.get() == Py_None && !allow_none)) {
        return 0;
    }
    return PyObject_SetAttr(module, target, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (init_state() < 0) {
        return nullptr;
    }
    const int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (state().interpreter_id == -1) {
        state().interpreter_id = interpreter_id;
    } else if (state().interpreter_id != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (state().module != nullptr) {
        return Py_NewRef(state().module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module || copy_spec_attr(spec, module.get(), state().consts.loader, state().consts.__loader__, true) < 0 ||
        copy_spec_attr(spec, module.get(), state().consts.origin, state().consts.__file__, true) < 0 ||
        copy_spec_attr(spec, module.get(), state().consts.parent, state().consts.__package__, true) < 0 ||
        copy_spec_attr(spec, module.get(), state().consts.submodule_search_locations, state().consts.__path__, false) < 0) {
        return nullptr;
    }
    return module.release();
}

// --- execute step ---------------------------------------------------------------

int check_runtime_version() {
    const unsigned long major = (Py_Version >> 24) & 0xff;
    const unsigned long minor = (Py_Version >> 16) & 0xff;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, LLM_METRICS_MODULE_NAME, "does not match",
                            static_cast<int>(major), static_cast<int>(minor));
}

int enter_in_sys_modules(PyObject* module) {
    // Held: the lookup may compare against keys of other types (Python code).
    Ref modules = Ref::borrow(PyImport_GetModuleDict());
    const int present = PyDict_Contains(modules.get(), state().consts.module_name);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    return PyDict_SetItem(modules.get(), state().consts.module_name, module);
}

int fetch_builtin(PyObject* name, PyObject*& slot) {
    Ref value;
    if (PyObject_GetOptionalAttr(state().builtins, name, value.put()) < 0) {
        return -1;
    }
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return -1;
    }
    Py_XSETREF(slot, value.release());
    return 0;
}

// Whether `import`, the __import__ taken from the builtins, is the
// interpreter's own: a built-in function of the builtins module of that name
// (a replacement defined in Python, or a C function of another module, is
// not).  Sets the state's flag; -1 with an exception set on failure.
int is_the_interpreters_import(PyObject* import) {
    state().builtin_import_is_the_interpreters = false;
    if (!PyCFunction_CheckExact(import) || PyCFunction_GetSelf(import) != state().builtins) {
        return 0;
    }
    Ref name = Ref::steal(PyObject_GetAttr(import, state().consts.__name__));
    if (!name) {
        return -1;
    }
    state().builtin_import_is_the_interpreters =
        PyUnicode_Check(name.get()) && PyUnicode_Compare(name.get(), state().consts.__import__) == 0;
    return 0;
}

// `from <module_name> import <name>` bound to the global of the same name.
int bind_from_import(PyObject* module_name, PyObject* name) {
    Ref names = Ref::steal(PyTuple_Pack(1, name));
    if (!names) {
        return -1;
    }
    Ref value;
    if (import_from(module_name, names.get(), &value, state().globals) < 0) {
        return -1;
    }
    return PyDict_SetItem(state().globals, name, value.get());
}

// `import <module_name> [as <global_name>]`
Ref import_as(PyObject* module_name, PyObject* global_name) {
    Ref imported = import_module(module_name, Py_None, state().globals);
    if (!imported || PyDict_SetItem(state().globals, global_name, imported.get()) < 0) {
        return {};
    }
    return imported;
}

int run_module_body(PyObject* module) {
    const Constants& c = state().consts;
    if (bind_from_import(c.module_platform, c.BaseService) < 0 || bind_from_import(c.module_utils, c.validate_type) < 0 ||
        bind_from_import(c.module_authenticators, c.BearerTokenAuthenticator) < 0 ||
        bind_from_import(c.module_evaluators, c.LLMAJEvaluators) < 0 || !import_as(c.module_pandas, c.pd) ||
        bind_from_import(c.module_tables, c.Table) < 0 || bind_from_import(c.module_itertools, c.chain) < 0) {
        return -1;
    }
    Ref warnings = import_as(c.module_warnings, c.warnings);
    if (!warnings) {
        return -1;
    }
    Ref filterwarnings = Ref::steal(PyObject_GetAttr(warnings.get(), state().consts.filterwarnings));
    if (!filterwarnings || !call<1>(filterwarnings.get(), {state().consts.ignore})) {
        return -1;
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test) {
        return -1;
    }
    Ref cls = create_llm_metrics_class(module, state().globals, test.get());
    if (!cls || PyDict_SetItem(state().globals, c.LLMMetrics, cls.get()) < 0) {
        return -1;
    }
    return PyDict_SetItem(state().globals, c.__test__, test.get());
}

// Adds "init <module>" to the traceback of the current exception.
void add_init_traceback() {
    PyObject* globals = state().globals;
    if (globals == nullptr) {
        return;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("llm_metrics/module.cpp", "init " LLM_METRICS_MODULE_NAME, 1)));
    PyErr_SetRaisedException(exc.release());
    if (!code) {
        return;
    }
    exc = Ref::steal(PyErr_GetRaisedException());
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    PyErr_SetRaisedException(exc.release());
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    } else {
        PyErr_Clear();
    }
}

int execute_steps(PyObject* module) {
    // Through the import system itself, not through builtins.__import__:
    // a missing __import__ is reported by `fetch_builtin` below.
    Ref builtins = Ref::steal(PyImport_ImportModuleLevelObject(state().consts.module_builtins, nullptr, nullptr, nullptr, 0));
    if (!builtins) {
        return -1;
    }
    Py_XSETREF(state().builtins, Py_NewRef(builtins.get()));
    if (PyObject_SetAttr(module, state().consts.__builtins__, builtins.get()) < 0 || check_runtime_version() < 0 ||
        enter_in_sys_modules(module) < 0 || fetch_builtin(state().consts.__import__, state().builtin_import) < 0 ||
        fetch_builtin(state().consts.print, state().builtin_print) < 0 || fetch_builtin(state().consts.sorted, state().builtin_sorted) < 0) {
        return -1;
    }
    // What a function defined by a module executed here would see.
    Py_XSETREF(state().builtins_dict, Py_XNewRef(PyEval_GetBuiltins()));
    if (is_the_interpreters_import(state().builtin_import) < 0) {
        return -1;
    }
    return run_module_body(module);
}

int module_exec(PyObject* module) {
    if (state().module != nullptr) {
        if (state().module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'llm_metrics' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (init_state() < 0) {
        return -1;
    }
    state().module = Py_NewRef(module);
    state().globals = Py_NewRef(PyModule_GetDict(module));
    int result = -1;
#if defined(__cpp_exceptions)
    try {
        result = execute_steps(module);
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception while initialising llm_metrics");
    }
#else
    result = execute_steps(module);
#endif
    if (result == 0) {
        return 0;
    }
    if (PyErr_Occurred()) {
        add_init_traceback();
    } else {
        PyErr_SetString(PyExc_ImportError, "init " LLM_METRICS_MODULE_NAME);
    }
    // Forget the module so that a later import starts again.
    Py_CLEAR(state().module);
    Py_CLEAR(state().globals);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "llm_metrics",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace llm_metrics

PyMODINIT_FUNC PyInit_llm_metrics() { return PyModuleDef_Init(&llm_metrics::module_def); }
