#include "core/arg_binding.hpp"

#include "core/state.hpp"

namespace llm_metrics {

namespace {

const char* spec_name(MethodFunction* fn) { return spec_name_text(*fn->spec); }

// How many parameters `defaults` (a tuple, or null) supplies.
Py_ssize_t default_count(MethodFunction* fn, PyObject* defaults) {
    if (defaults == nullptr) {
        return 0;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(defaults);
    return n < fn->spec->body.n_params ? n : fn->spec->body.n_params;
}

Py_ssize_t default_count(MethodFunction* fn) { return default_count(fn, fn->defaults); }

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
int raise_count_error(MethodFunction* fn, bool too_many, Py_ssize_t given) {
    const Py_ssize_t n_params = fn->spec->body.n_params;
    const Py_ssize_t n_defaults = default_count(fn);
    const bool exact = n_defaults == 0;
    const Py_ssize_t expected = too_many ? n_params : n_params - n_defaults;
    const char* more_or_less = exact ? "exactly" : (too_many ? "at most" : "at least");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec_name(fn), more_or_less, expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Sets `index` to the index of the parameter called `name`, or -1 when there
// is none.  -1 with an exception set on failure.  Interned names match by identity; anything else is
// compared as a Python function's binder compares it, `parameter == name`
// against each parameter in turn, so the __eq__ of a str subclass runs here
// as it would there.  The parameter-name tuple belongs to `fn`, which the
// call keeps alive, and cannot be replaced.
int find_parameter(MethodFunction* fn, PyObject* name, Py_ssize_t& index) {
    const Py_ssize_t n = PyTuple_GET_SIZE(fn->param_names);
    for (index = 0; index < n; ++index) {
        if (PyTuple_GET_ITEM(fn->param_names, index) == name) {
            return 0;
        }
    }
    for (index = 0; index < n; ++index) {
        const int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(fn->param_names, index), name, Py_EQ);
        if (equal != 0) {
            return equal > 0 ? 0 : -1;
        }
    }
    index = -1;
    return 0;
}

// The index of the parameter that must be exactly a dict, or -1.
Py_ssize_t exact_dict_index(const FunctionSpec& spec) {
    for (Py_ssize_t i = 0; spec.exact_dict != nullptr && i < spec.body.n_params; ++i) {
        if (spec.body.params[i] == spec.exact_dict) {
            return i;
        }
    }
    return -1;
}

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", with a
// note for subclasses of dict, which are refused like every other type.
int raise_not_exact_dict(const char* param, PyObject* value) {
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(value)));
    if (!type_name) {
        return -1;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200U)",
                 param, "dict", type_name.get());
    if (!PyDict_Check(value)) {
        return -1;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "Subclasses of built-in types are not accepted for argument '%s'; "
        "pass a plain dict instead, for example dict(%s).",
        param, param));
    if (!note) {
        return -1;
    }
    Ref added = Ref::steal(PyObject_CallMethodOneArg(exc.get(), state().consts.add_note, note.get()));
    if (!added) {
        return -1;
    }
    PyErr_SetRaisedException(exc.release());
    return -1;
}

// TypeError (with its note) when the parameter that must be exactly a dict is not one.
int check_exact_dict(const FunctionSpec& spec, PyObject* const* bound) {
    const Py_ssize_t exact_dict = exact_dict_index(spec);
    if (exact_dict >= 0 && !PyDict_CheckExact(bound[exact_dict])) {
        return raise_not_exact_dict(PyUnicode_AsUTF8(param_name(spec, exact_dict)), bound[exact_dict]);
    }
    return 0;
}

// The usual call: positional arguments only.  No keyword to compare, so no
// Python code runs while binding, and the defaults are read at once.
int bind_positional(MethodFunction* fn, PyObject* const* args, Py_ssize_t nargs, PyObject** bound, Ref& extra,
                    Ref& defaults) {
    const FunctionSpec& spec = *fn->spec;
    const Py_ssize_t n_params = spec.body.n_params;
    if (nargs > n_params) {
        return raise_count_error(fn, true, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    if (nargs < n_params) {
        defaults = Ref::borrow(fn->defaults);
        const Py_ssize_t n_defaults = default_count(fn, defaults.get());
        const Py_ssize_t first_default = n_params - n_defaults;
        if (nargs < first_default) {
            return raise_count_error(fn, false, nargs);
        }
        PyObject* const* items = &PyTuple_GET_ITEM(defaults.get(), PyTuple_GET_SIZE(defaults.get()) - n_defaults);
        for (Py_ssize_t i = nargs; i < n_params; ++i) {
            bound[i] = items[i - first_default];
        }
    }
    if (check_exact_dict(spec, bound) < 0) {
        return -1;
    }
    if (spec.body.var_keywords) {
        extra = Ref::steal(PyDict_New());
        if (!extra) {
            return -1;
        }
    }
    return 0;
}

// Binds one keyword argument to its parameter, or into `extra` (**kwargs): its name's
// __eq__ and __hash__ (a str subclass's) are Python code that may change anything about `fn`.
int bind_keyword(MethodFunction* fn, PyObject* kw, PyObject* value, PyObject** bound, PyObject* extra) {
    if (!PyUnicode_Check(kw)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec_name(fn));
        return -1;
    }
    Py_ssize_t index;
    if (find_parameter(fn, kw, index) < 0) {
        return -1;
    }
    if (index >= 0) {
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec_name(fn), kw);
            return -1;
        }
        bound[index] = value;
        return 0;
    }
    if (extra != nullptr) {
        return PyDict_SetItem(extra, kw, value);
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec_name(fn), kw);
    return -1;
}

// Fills the parameters no argument gave from the defaults, read only now, as a Python
// function reads __defaults__ after its keywords: the tuple of this moment is held for the
// whole call, so the defaults bound from it outlive any later replacement.  Runs no Python code.
int bind_defaults(MethodFunction* fn, PyObject** bound, Ref& defaults) {
    const Py_ssize_t n_params = fn->spec->body.n_params;
    defaults = Ref::borrow(fn->defaults);
    PyObject* const tuple = defaults.get();
    // Defaults belong to the last parameters; like a Python function, a
    // defaults tuple longer than the parameter list supplies its last items.
    const Py_ssize_t n_defaults = default_count(fn, tuple);
    const Py_ssize_t first_default = n_params - n_defaults;
    const Py_ssize_t skipped_defaults = tuple ? PyTuple_GET_SIZE(tuple) - n_defaults : 0;
    for (Py_ssize_t i = 0; i < n_params; ++i) {
        if (bound[i] != nullptr) {
            continue;
        }
        if (i < first_default) {
            return raise_count_error(fn, false, i);
        }
        bound[i] = PyTuple_GET_ITEM(tuple, skipped_defaults + i - first_default);
    }
    return 0;
}

}  // namespace

int bind_arguments(MethodFunction* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound, Ref& extra, Ref& defaults) {
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        return bind_positional(fn, args, nargs, bound, extra, defaults);
    }
    const FunctionSpec& spec = *fn->spec;
    const Py_ssize_t n_params = spec.body.n_params;
    for (Py_ssize_t i = 0; i < n_params; ++i) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }
    if (spec.body.var_keywords) {
        extra = Ref::steal(PyDict_New());
        if (!extra) {
            return -1;
        }
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (bind_keyword(fn, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound, extra.get()) < 0) {
            return -1;
        }
    }
    // Counted after the keywords, as a Python function counts them.
    if (nargs > n_params) {
        return raise_count_error(fn, true, nargs);
    }
    if (bind_defaults(fn, bound, defaults) < 0) {
        return -1;
    }
    return check_exact_dict(spec, bound);
}

}  // namespace llm_metrics
