#include "core/python_ops.hpp"

#include "core/module_state.hpp"
#include "core/names.hpp"

namespace llm_metrics {

Ref lookup_global(PyObject* name) {
    Ref value;
    if (state.globals != nullptr) {
        const int found = PyDict_GetItemRef(state.globals, name, value.put());
        if (found != 0) {
            return value;  // found, or an error is set
        }
    }
    if (state.builtins != nullptr && PyObject_GetOptionalAttr(state.builtins, name, value.put()) != 0) {
        return value;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

int import_from(PyObject* module_name, std::initializer_list<PyObject*> attr_names, Ref* out) {
    Ref module = Ref::steal(PyImport_GetModule(module_name));
    if (!module && PyErr_Occurred()) {
        return -1;
    }
    if (module) {
        // Already loaded: use it when it has every name.
        Ref* slot = out;
        for (PyObject* attr : attr_names) {
            if (PyObject_GetOptionalAttr(module.get(), attr, slot->put()) < 0) {
                return -1;
            }
            if (!*slot) {
                module.reset();
                break;
            }
            ++slot;
        }
        if (module) {
            return 0;
        }
    }
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) {
        return -1;
    }
    for (PyObject* attr : attr_names) {
        if (PyList_Append(fromlist.get(), attr) < 0) {
            return -1;
        }
    }
    module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, state.globals, nullptr, fromlist.get(), 0));
    if (!module) {
        return -1;
    }
    Ref* slot = out;
    for (PyObject* attr : attr_names) {
        if (PyObject_GetOptionalAttr(module.get(), attr, slot->put()) < 0) {
            return -1;
        }
        if (!*slot) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", attr, module_name);
            return -1;
        }
        ++slot;
    }
    return 0;
}

PyObject* raise_in_handler(PyObject* exc_type, const char* message) {
    Ref handled = Ref::steal(PyErr_GetRaisedException());
    Ref exc = Ref::steal(PyObject_CallFunction(exc_type, "s", message));
    if (!exc) {
        return nullptr;
    }
    if (handled) {
        PyException_SetContext(exc.get(), handled.release());
    }
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

Ref format_join(std::initializer_list<PyObject*> pieces) {
    Ref texts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!texts) {
        return {};
    }
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) {
        PyObject* text = PyObject_Format(piece, names.empty);
        if (text == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(texts.get(), i++, text);
    }
    return Ref::steal(PyUnicode_Join(names.empty, texts.get()));
}

int print_line(PyObject* text) {
    Ref result = Ref::steal(PyObject_Vectorcall(state.builtin_print, &text, 1, nullptr));
    return result ? 0 : -1;
}

Ref call_with_mapping(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) {
        if (PyVectorcall_Function(callable) == nullptr) {
            // tp_call would receive the dict itself; like f(**kwargs), the
            // callee gets a copy, so nothing it does reaches the caller's dict.
            Ref copy = Ref::steal(PyDict_Copy(mapping));
            if (!copy) {
                return {};
            }
            return Ref::steal(PyObject_VectorcallDict(callable, args, nargs, copy.get()));
        }
        return Ref::steal(PyObject_VectorcallDict(callable, args, nargs, mapping));
    }
    // `f(**m)` for any other mapping: the items are copied into a new dict first.
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) {
        return {};
    }
    if (PyDict_Merge(copy.get(), mapping, 1) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                         Py_TYPE(mapping)->tp_name);
        }
        return {};
    }
    return Ref::steal(PyObject_VectorcallDict(callable, args, nargs, copy.get()));
}

}  // namespace llm_metrics
