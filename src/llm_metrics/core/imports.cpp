#include "core/imports.hpp"

#include <unistd.h>

#include <climits>
#include <utility>

#include "core/constants.hpp"
#include "core/state.hpp"

namespace llm_metrics {

namespace {

// ImportError(message, name=<module_name or None>, path=<path or None>,
// name_from=name), as the statement raises it.  Always null.
PyObject* set_import_error(PyObject* message, PyObject* module_name, PyObject* path, PyObject* name) {
    if (message == nullptr) {
        return nullptr;
    }
    PyErr_SetImportError(message, module_name ? module_name : Py_None, path ? path : Py_None);
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (exc && PyObject_SetAttr(exc.get(), state().consts.name_from, name) < 0) {
        return nullptr;
    }
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

// sys.flags.safe_path: 1, 0 (also when it cannot be read) or -1.
int safe_path_flag() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed; nothing runs before its use
    Ref safe_path = flags ? Ref::steal(PyObject_GetAttr(flags, state().consts.safe_path)) : Ref();
    if (!safe_path) {
        PyErr_Clear();
        return 0;
    }
    return PyObject_IsTrue(safe_path.get());
}

// os.path.dirname(origin.removesuffix("/__init__.py")); an empty Ref and no
// exception when `origin` has no directory.
Ref origin_directory(PyObject* origin) {
    const Py_ssize_t length = PyUnicode_GetLength(origin);
    Py_ssize_t sep = PyUnicode_FindChar(origin, '/', 0, length, -1);
    if (sep < 0) {
        return {};
    }
    Ref tail = Ref::steal(PyUnicode_Substring(origin, sep + 1, length));
    if (!tail) {
        return {};
    }
    if (PyUnicode_CompareWithASCIIString(tail.get(), "__init__.py") == 0) {
        sep = PyUnicode_FindChar(origin, '/', 0, sep, -1);
        if (sep < 0) {
            return {};
        }
    }
    return Ref::steal(PyUnicode_Substring(origin, 0, sep));
}

// sys.path[0] as a directory ("" is the current one); an empty Ref and no
// exception when there is none, or it is not a str.
Ref first_path_entry() {
    PyObject* path = PySys_GetObject("path");  // borrowed
    if (path == nullptr || !PyList_Check(path) || PyList_GET_SIZE(path) == 0 ||
        !PyUnicode_Check(PyList_GET_ITEM(path, 0))) {
        return {};
    }
    Ref first = Ref::borrow(PyList_GET_ITEM(path, 0));
    if (PyUnicode_GET_LENGTH(first.get()) != 0) {
        return first;
    }
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) == nullptr ? Ref() : Ref::steal(PyUnicode_DecodeFSDefault(cwd));
}

// Whether `origin`, the file the module's spec locates, lies in the
// directory first on sys.path (the script's, or the current one for ""),
// so that the module may shadow another of its name.  The interpreter
// compares with the first entry it computed at startup, which no public
// interface gives: the entry as it stands now stands in for it.  1, 0 or -1.
int is_possibly_shadowing(PyObject* origin) {
    if (origin == nullptr) {
        return 0;
    }
    const int safe = safe_path_flag();
    if (safe != 0) {
        return safe;
    }
    Ref root = origin_directory(origin);
    Ref first = root ? first_path_entry() : Ref();
    if (!first) {
        return PyErr_Occurred() ? -1 : 0;
    }
    return PyUnicode_Compare(first.get(), root.get()) == 0;
}

// spec.origin when spec.has_location is true and the origin a str: 1 with
// `*origin` set, 0 without, -1 on failure.
int file_origin(PyObject* spec, Ref* origin) {
    Ref has_location;
    int rc = PyObject_GetOptionalAttr(spec, state().consts.has_location, has_location.put());
    if (rc <= 0) {
        return rc;
    }
    rc = PyObject_IsTrue(has_location.get());
    if (rc <= 0) {
        return rc;
    }
    Ref value;
    rc = PyObject_GetOptionalAttr(spec, state().consts.origin, value.put());
    if (rc <= 0) {
        return rc;
    }
    if (!PyUnicode_Check(value.get())) {
        return 0;
    }
    *origin = std::move(value);
    return 1;
}

// The file an ImportError shows: `__spec__.origin`, else an exact or
// derived module's __file__; an empty Ref without (and no exception).
Ref shown_file(PyObject* module, const Ref& origin) {
    if (origin || !PyModule_Check(module)) {
        return origin;
    }
    Ref path = Ref::steal(PyModule_GetFilenameObject(module));
    if (!path && PyErr_ExceptionMatches(PyExc_SystemError)) {
        PyErr_Clear();  // no __file__, or not a str
    }
    return path;
}

// Whether `shown` names a module of the standard library: 1, 0 or -1.
int is_stdlib_name(PyObject* shown) {
    PyObject* stdlib = PySys_GetObject("stdlib_module_names");  // borrowed
    if (stdlib == nullptr || !PyAnySet_Check(stdlib)) {
        return 0;
    }
    Ref keep = Ref::borrow(stdlib);
    return PySet_Contains(keep.get(), shown);
}

// The text of the error when the module shadows no standard module: by
// whether spec._initializing (when there is one) is true, whether the module
// may shadow another, and the file shown.
Ref message_by_spec(PyObject* spec, PyObject* name, PyObject* shown, PyObject* origin, PyObject* path,
                    int shadowing) {
    Ref initializing;
    int rc = PyObject_GetOptionalAttr(spec, state().consts._initializing, initializing.put());
    if (rc > 0) {
        rc = PyObject_IsTrue(initializing.get());
    }
    if (rc < 0) {
        return {};
    }
    if (rc > 0 && shadowing) {
        return Ref::steal(PyUnicode_FromFormat(kCannotImportShadowing, name, shown, origin));
    }
    if (rc > 0) {
        return Ref::steal(path ? PyUnicode_FromFormat(kCannotImportCircularFromFile, name, shown, path)
                               : PyUnicode_FromFormat(kCannotImportCircular, name, shown));
    }
    return Ref::steal(path ? PyUnicode_FromFormat(kCannotImportFromFile, name, shown, path)
                           : PyUnicode_FromFormat(kCannotImportUnknownLocation, name, shown));
}

// The statement's ImportError for `name` missing from `module`, whose
// __name__ is `module_name` (null when not a str), as interpreters that
// look at the module's spec word it: no spec, no location; else the file
// its __spec__ locates, or failing that an exact or derived module's __file__
// (only for the text and the error's path: whether the module may shadow
// another is told from the module spec's file alone), and a hint when it may.
// Errors reading __spec__ pass through.  Always null.
PyObject* raise_cannot_import_by_spec(PyObject* module, PyObject* module_name, PyObject* name) {
    Ref shown = module_name ? Ref::borrow(module_name) : Ref::steal(PyUnicode_FromString(kUnknownModuleName));
    Ref spec;
    if (!shown || PyObject_GetOptionalAttr(module, state().consts.__spec__, spec.put()) < 0) {
        return nullptr;
    }
    if (!spec) {
        Ref message = Ref::steal(PyUnicode_FromFormat(kCannotImportUnknownLocation, name, shown.get()));
        return set_import_error(message.get(), module_name, nullptr, name);
    }
    Ref origin;
    if (file_origin(spec.get(), &origin) < 0) {
        return nullptr;
    }
    const int shadowing = is_possibly_shadowing(origin.get());
    if (shadowing < 0) {
        return nullptr;
    }
    Ref path = shown_file(module, origin);
    if (!path && PyErr_Occurred()) {
        return nullptr;
    }
    const int shadowing_stdlib = shadowing ? is_stdlib_name(shown.get()) : 0;
    if (shadowing_stdlib < 0) {
        return nullptr;
    }
    Ref message = shadowing_stdlib ? Ref::steal(PyUnicode_FromFormat(kCannotImportShadowingStdlib, name, shown.get(),
                                                                     origin.get(), shown.get()))
                                   : message_by_spec(spec.get(), name, shown.get(), origin.get(), path.get(), shadowing);
    return set_import_error(message.get(), module_name, path.get(), name);
}

// The statement's ImportError for `name` missing from `module`, whose
// __name__ is `module_name` (null when not a str), as 3.13.0 words it: the
// module's __file__ (read from its dictionary), and whether its spec says
// it is being initialised (a failure to tell counts as not).  Always null.
PyObject* raise_cannot_import_by_file(PyObject* module, PyObject* module_name, PyObject* name) {
    Ref shown = module_name ? Ref::borrow(module_name) : Ref::steal(PyUnicode_FromString(kUnknownModuleName));
    if (!shown) {
        return nullptr;
    }
    Ref path = Ref::steal(PyModule_GetFilenameObject(module));
    if (!path) {
        PyErr_Clear();
        Ref message = Ref::steal(PyUnicode_FromFormat(kCannotImportUnknownLocation, name, shown.get()));
        return set_import_error(message.get(), module_name, nullptr, name);
    }
    int initializing = 0;
    Ref spec = Ref::steal(PyObject_GetAttr(module, state().consts.__spec__));
    if (spec) {
        Ref value;
        if (PyObject_GetOptionalAttr(spec.get(), state().consts._initializing, value.put()) > 0) {
            initializing = PyObject_IsTrue(value.get());
        }
    }
    PyErr_Clear();
    Ref message = Ref::steal(PyUnicode_FromFormat(initializing > 0 ? kCannotImportCircularFromFile
                                                                   : kCannotImportFromFile,
                                                  name, shown.get(), path.get()));
    return set_import_error(message.get(), module_name, path.get(), name);
}

// The statement's ImportError, in the words of the running interpreter.
PyObject* raise_cannot_import(PyObject* module, PyObject* module_name, PyObject* name) {
    return Py_Version >= kFromImportReadsSpecSince ? raise_cannot_import_by_spec(module, module_name, name)
                                                   : raise_cannot_import_by_file(module, module_name, name);
}

// The value `from <module> import <attr>` binds, once the module is
// imported, as the interpreter's statement takes it: the attribute (a
// module __getattr__ runs as the statement runs it, its frames in the
// error's traceback), else the submodule "<__name__>.<attr>" in
// sys.modules, else the statement's ImportError.
PyObject* import_name_from(PyObject* module, PyObject* attr) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module, attr, &value) != 0) {
        return value;
    }
    Ref module_name;
    if (PyObject_GetOptionalAttr(module, state().consts.__name__, module_name.put()) < 0) {
        return nullptr;
    }
    if (!module_name || !PyUnicode_Check(module_name.get())) {
        return raise_cannot_import(module, nullptr, attr);
    }
    Ref submodule_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), attr));
    if (!submodule_name) {
        return nullptr;
    }
    PyObject* submodule = PyImport_GetModule(submodule_name.get());
    if (submodule != nullptr || PyErr_Occurred()) {
        return submodule;
    }
    return raise_cannot_import(module, module_name.get(), attr);
}

}  // namespace

Ref import_module(PyObject* module_name, PyObject* fromlist, PyObject* locals) {
    Ref import;
    const int found = PyDict_GetItemRef(state().builtins_dict, state().consts.__import__, import.put());
    if (found <= 0) {
        if (found == 0) {
            PyErr_SetString(PyExc_ImportError, "__import__ not found");
        }
        return {};
    }
    if (import.get() == state().builtin_import && state().builtin_import_is_the_interpreters) {
        // The interpreter's own __import__ is the import machinery's entry
        // and nothing else: the statement calls the machinery directly.
        return Ref::steal(PyImport_ImportModuleLevelObject(module_name, state().globals, locals, fromlist, 0));
    }
    Ref level = Ref::steal(PyLong_FromLong(0));
    if (!level) {
        return {};
    }
    PyObject* args[] = {module_name, state().globals, locals, fromlist, level.get()};
    return Ref::steal(PyObject_Vectorcall(import.get(), args, 5, nullptr));
}

int import_from(PyObject* module_name, PyObject* names, Ref* out, PyObject* locals) {
    Ref module = import_module(module_name, names, locals);
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
