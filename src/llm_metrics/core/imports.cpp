#include "core/imports.hpp"

#include "core/state.hpp"

namespace llm_metrics {

namespace {

// Whether the module the spec describes is still executing (its
// `_initializing` is true).  -1 with an exception set when asking fails.
int spec_is_initializing(PyObject* spec) {
    Ref initializing;
    const int found = PyObject_GetOptionalAttr(spec, state().consts._initializing, initializing.put());
    return found > 0 ? PyObject_IsTrue(initializing.get()) : found;
}

// ImportError(message, name=module_name, path=path, name_from=attr), raised.
// A message that could not be built (null, its error set) becomes the
// TypeError the interpreter raises for it.
void raise_import_error(Ref message, PyObject* module_name, PyObject* path, PyObject* attr) {
    if (!message) {
        PyErr_SetString(PyExc_TypeError, "expected a message argument");
        return;
    }
    PyObject* args[] = {message.get(), module_name != nullptr ? module_name : Py_None, path != nullptr ? path : Py_None,
                        attr};
    Ref error = Ref::steal(PyObject_Vectorcall(PyExc_ImportError, args, 1, state().consts.kw_import_error));
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
}

// The ImportError of `from <module> import <attr>` when the module has no
// such attribute and no such submodule.  `module_name` is its __name__ when
// that is a str, else null.  The location is the module's __file__; the
// wording tells a module still executing (a circular import) apart.
void raise_cannot_import(PyObject* module, PyObject* module_name, PyObject* attr) {
    Ref path = Ref::steal(PyModule_GetFilenameObject(module));
    Ref shown_name = module_name != nullptr ? Ref::borrow(module_name)
                                            : Ref::borrow(state().consts.unknown_module_name);
    if (!path) {
        PyErr_Clear();  // not a module, or no str __file__: no location
        raise_import_error(Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", attr,
                                                           shown_name.get())),
                           module_name, nullptr, attr);
        return;
    }
    Ref spec;
    int initializing = PyObject_GetOptionalAttr(module, state().consts.__spec__, spec.put());
    if (initializing > 0) {
        initializing = spec_is_initializing(spec.get());
    }
    if (initializing < 0) {
        return;
    }
    const char* format = initializing != 0 ? "cannot import name %R from partially initialized module %R "
                                             "(most likely due to a circular import) (%S)"
                                           : "cannot import name %R from %R (%S)";
    raise_import_error(Ref::steal(PyUnicode_FromFormat(format, attr, shown_name.get(), path.get())), module_name,
                       path.get(), attr);
}

// The value `from <module> import <attr>` binds, once the module is
// imported: its attribute, else the submodule sys.modules holds as
// "<module.__name__>.<attr>" (one imported but not yet bound as an
// attribute, as during a circular import).  Null with an exception set.
PyObject* import_name_from(PyObject* module, PyObject* attr) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module, attr, &value) != 0) {
        return value;  // found, or an error other than AttributeError
    }
    Ref module_name;
    if (PyObject_GetOptionalAttr(module, state().consts.__name__, module_name.put()) < 0) {
        return nullptr;
    }
    if (module_name && PyUnicode_Check(module_name.get())) {
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), attr));
        if (!full_name) {
            return nullptr;
        }
        value = PyImport_GetModule(full_name.get());
        if (value != nullptr || PyErr_Occurred()) {
            return value;
        }
    } else {
        module_name.reset();
    }
    raise_cannot_import(module, module_name.get(), attr);
    return nullptr;
}

}  // namespace

int import_from(PyObject* module_name, PyObject* names, Ref* out) {
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, state().globals, nullptr, names, 0));
    if (!module) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        out[i] = Ref::steal(import_name_from(module.get(), PyTuple_GET_ITEM(names, i)));
        if (!out[i]) {
            return -1;
        }
    }
    return 0;
}

}  // namespace llm_metrics
