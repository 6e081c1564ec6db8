#include "core/imports.hpp"

#include "core/state.hpp"

namespace llm_metrics {

namespace {

// The __import__ of the statement run below: hands over the module the
// caller already imported, whatever it is asked for.
PyObject* hand_over(PyObject* module, PyObject*, PyObject*) { return Py_NewRef(module); }

PyMethodDef kHandOver = {"__import__", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(hand_over)),
                         METH_VARARGS | METH_KEYWORDS, nullptr};

// `from <module> import <attr>` as the interpreter itself runs it, on the
// module already imported: the statement `from _ import <attr>` executed
// with an __import__ that returns `module`.  Every read of the module (the
// attribute, __name__, the submodule in sys.modules, __spec__, __file__ and
// whatever the running interpreter consults for its ImportError) and the
// error itself are the interpreter's own.  Null with an exception set.
PyObject* import_name_by_statement(PyObject* module, PyObject* attr) {
    const char* attr_text = PyUnicode_AsUTF8(attr);
    if (attr_text == nullptr) {
        return nullptr;
    }
    Ref source = Ref::steal(PyUnicode_FromFormat("from _ import %s", attr_text));
    if (!source) {
        return nullptr;
    }
    const char* source_text = PyUnicode_AsUTF8(source.get());
    Ref code = source_text ? Ref::steal(Py_CompileString(source_text, "<from-import>", Py_file_input)) : Ref();
    if (!code) {
        return nullptr;
    }
    Ref importer = Ref::steal(PyCFunction_New(&kHandOver, module));
    Ref builtins = Ref::steal(PyDict_New());
    Ref globals = Ref::steal(PyDict_New());
    Ref locals = Ref::steal(PyDict_New());
    if (!importer || !builtins || !globals || !locals ||
        PyDict_SetItem(builtins.get(), state().consts.__import__, importer.get()) < 0 ||
        PyDict_SetItem(globals.get(), state().consts.__builtins__, builtins.get()) < 0) {
        return nullptr;
    }
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), locals.get()));
    if (!done) {
        // The statement's frame is not one of the caller's: no traceback entry.
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        PyException_SetTraceback(exc.get(), Py_None);
        PyErr_SetRaisedException(exc.release());
        return nullptr;
    }
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(locals.get(), attr, &value) == 0) {
        PyErr_SetObject(PyExc_KeyError, attr);  // GCOVR_EXCL_LINE: a statement that ran has bound the name
    }
    return value;
}

// The value `from <module> import <attr>` binds, once the module is
// imported.  An exact module that holds the name in its dictionary gives it
// at once: its attribute lookup finds it there first, and reading the
// dictionary runs nothing the statement would not.  Anything else (a
// missing name, a module __getattr__, the submodule fallback, another kind
// of object) is the interpreter's own statement.
PyObject* import_name_from(PyObject* module, PyObject* attr) {
    if (PyModule_CheckExact(module)) {
        PyObject* value = nullptr;
        const int found = PyDict_GetItemRef(PyModule_GetDict(module), attr, &value);
        if (found != 0) {
            return value;  // found, or an error is set
        }
    }
    return import_name_by_statement(module, attr);
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
