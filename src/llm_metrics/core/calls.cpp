#include "core/calls.hpp"

#include "core/state.hpp"

namespace llm_metrics {

namespace {

// How the interpreter names a callee in its messages about the arguments of
// a call: "<module>.<qualname>()", "<qualname>()" when the module is None,
// missing or "builtins", and str(callable) when it has no __qualname__.
Ref function_str(PyObject* callable) {
    Ref qualname;
    if (PyObject_GetOptionalAttr(callable, state().consts.__qualname__, qualname.put()) < 0) {
        return {};
    }
    if (!qualname) {
        return Ref::steal(PyObject_Str(callable));
    }
    Ref module;
    const int found = PyObject_GetOptionalAttr(callable, state().consts.__module__, module.put());
    if (module && module.get() != Py_None) {
        const int elsewhere = PyObject_RichCompareBool(module.get(), state().consts.builtins, Py_NE);
        if (elsewhere < 0) {
            return {};
        }
        if (elsewhere > 0) {
            return Ref::steal(PyUnicode_FromFormat("%S.%S()", module.get(), qualname.get()));
        }
    } else if (found < 0) {
        return {};
    }
    return Ref::steal(PyUnicode_FromFormat("%S()", qualname.get()));
}

// The items of `mapping` added to the empty dict `kwargs` as `f(**mapping)`
// adds them: a dict, or a subclass that keeps dict iteration, directly;
// anything else through keys() and item lookup, where a key that comes a
// second time is a KeyError.
int merge_keywords(PyObject* kwargs, PyObject* mapping, bool& duplicate) {
    if (PyDict_Check(mapping) && Py_TYPE(mapping)->tp_iter == PyDict_Type.tp_iter) {
        return PyDict_Merge(kwargs, mapping, 1);
    }
    Ref keys = Ref::steal(PyMapping_Keys(mapping));
    if (!keys) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(keys.get()));
    if (!iterator) {
        return -1;
    }
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(iterator.get()));
        if (!key) {
            return PyErr_Occurred() ? -1 : 0;
        }
        const int seen = PyDict_Contains(kwargs, key.get());
        if (seen != 0) {
            if (seen > 0) {
                duplicate = true;
                Ref error_args = Ref::steal(PyTuple_Pack(1, key.get()));
                if (error_args) {
                    PyErr_SetObject(PyExc_KeyError, error_args.get());
                }
            }
            return -1;
        }
        Ref value = Ref::steal(PyObject_GetItem(mapping, key.get()));
        if (!value || PyDict_SetItem(kwargs, key.get(), value.get()) < 0) {
            return -1;
        }
    }
}

// With an AttributeError set by merging `mapping`: the TypeError the
// interpreter raises for `f(**mapping)` (kNotAMappingFormat).
#if PY_VERSION_HEX >= 0x030F0000
void explain_not_a_mapping(PyObject*, PyObject* mapping) {
    // Only an object without keys() is not a mapping; an AttributeError
    // raised by (or inside) its keys() stays as it is.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref keys;
    const int found = PyObject_GetOptionalAttrString(mapping, "keys", keys.put());
    if (found < 0) {
        return;
    }
    if (found > 0) {
        PyErr_SetRaisedException(error.release());
        return;
    }
    PyErr_Format(PyExc_TypeError, kNotAMappingFormat, mapping);
}
#else
void explain_not_a_mapping(PyObject* callable, PyObject* mapping) {
    PyErr_Clear();
    Ref callee = function_str(callable);
    if (callee) {
        PyErr_Format(PyExc_TypeError, kNotAMappingFormat, callee.get(), Py_TYPE(mapping)->tp_name);
    }
}
#endif

// The interpreter's wording for a failed `f(**mapping)`: an AttributeError
// (no keys()) becomes "... after ** must be a mapping", a KeyError (on 3.15:
// of a key given twice) "... got multiple values for keyword argument".
void explain_merge_failure(PyObject* callable, PyObject* mapping, bool duplicate) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        explain_not_a_mapping(callable, mapping);
    } else if (PyErr_ExceptionMatches(PyExc_KeyError) && (kKeyErrorMeansDuplicate || duplicate)) {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        Ref error_args = Ref::steal(PyException_GetArgs(error.get()));
        if (error_args && PyTuple_Check(error_args.get()) && PyTuple_GET_SIZE(error_args.get()) == 1) {
            Ref callee = function_str(callable);
            if (callee) {
                PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", callee.get(),
                             PyTuple_GET_ITEM(error_args.get(), 0));
            }
        } else {
            PyErr_SetRaisedException(error.release());
        }
    }
}

}  // namespace

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
    bool duplicate = false;
    if (merge_keywords(copy.get(), mapping, duplicate) < 0) {
        explain_merge_failure(callable, mapping, duplicate);
        return {};
    }
    return Ref::steal(PyObject_VectorcallDict(callable, args, nargs, copy.get()));
}

}  // namespace llm_metrics
