#include "browser/browser_scope.hpp"

#include <iterator>

#include "browser/nested.hpp"
#include "browser/sequences.hpp"
#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/globals.hpp"
#include "core/state.hpp"
#include "core/scope.hpp"

namespace llm_metrics::browser {

namespace {

constexpr int kVarCount = static_cast<int>(Var::count_);

// Variable names as a closure would report them.
constexpr const char* kVarNames[kVarCount] = {
#define LLM_BROWSER_VAR_NAME(var, name) name,
    LLM_BROWSER_SCOPE_VARS(LLM_BROWSER_VAR_NAME)
#undef LLM_BROWSER_VAR_NAME
};

void set_var(PyObject* scope, Var var, PyObject* value) { scope_set(scope, static_cast<int>(var), value); }

// --- the nested functions -----------------------------------------------------

using C = Constants;

// One row per nested function, in creation order (LLM_BROWSER_NESTED_FUNCTIONS).
struct NestedFunction {
    Ref NestedFunctions::*slot;
    FunctionSpec spec;
    bool shares_scope;  // reads the variables of the scope
    Var var;            // the scope variable holding it; kNoVar: none
    bool full_catalogue;  // shown by the call with no argument
};

const NestedFunction kNestedFunctions[] = {
#define LLM_BROWSER_NESTED_ROW(function, shares, variable, shown, ...)                                    \
    {.slot = &NestedFunctions::function,                                                                  \
     .spec = {.name = &C::__##function, .body = bind<function>, .defaults = {__VA_ARGS__}},               \
     .shares_scope = shares,                                                                              \
     .var = variable,                                                                                     \
     .full_catalogue = shown},
    LLM_BROWSER_NESTED_FUNCTIONS(LLM_BROWSER_NESTED_ROW)
#undef LLM_BROWSER_NESTED_ROW
};

// The defaults of every row, one tuple (None for a row without defaults),
// made by the first call that gets this far and kept in state(): like the
// constants of a code object, every call's functions share them (so a row's
// defaults are constants: no SharedEmptyList).  Borrowed.
PyObject* row_defaults() {
    if (state().nested_defaults == nullptr) {
        Ref all = Ref::steal(PyTuple_New(std::ssize(kNestedFunctions)));
        for (size_t row = 0; all && row < std::size(kNestedFunctions); ++row) {
            Ref defaults = make_defaults(kNestedFunctions[row].spec);
            if (!defaults && PyErr_Occurred()) {
                return nullptr;
            }
            PyTuple_SET_ITEM(all.get(), static_cast<Py_ssize_t>(row), defaults ? defaults.release() : Py_NewRef(Py_None));
        }
        state().nested_defaults = all.release();
    }
    return state().nested_defaults;
}

// `lambda x: x.value`
const FunctionSpec kValueKey{.name = &C::lambda_, .body = bind<value_key>};

// A function of `spec` made inside another: its qualified name is
// `locals` (the enclosing function's "<qualname>.<locals>.") and its name.
Ref new_nested(const FunctionSpec& spec, PyObject* locals, PyObject* scope, PyObject* defaults = nullptr) {
    FunctionOptions options;
    options.locals = locals;
    options.defaults = defaults;
    options.scope = scope;
    return new_method_function(spec, state().consts.module_name, state().globals, options);
}

}  // namespace

Ref new_value_key(KeyPlace place) {
    return new_nested(kValueKey, place == KeyPlace::catalogue ? state().consts.show_locals : state().consts.query_locals,
                      nullptr);
}

namespace {

// all_task_type: the value of each task type, in enumeration order.
Ref task_type_values(PyObject* task_enum) {
    Ref task_types = Ref::steal(PyList_New(0));
    if (!task_types || for_each(task_enum, [&](PyObject* member) {
            return list_append_new(task_types.get(), get_attr(member, state().consts.value));
        }) < 0) {
        return {};
    }
    return task_types;
}

// all_metrics: both metric enumerations, sorted by value, keyed by value.
Ref metrics_by_value(PyObject* metric_enum, PyObject* sub_enum) {
    Ref chain = lookup_global(state().consts.chain);
    Ref chained = chain ? call<2>(chain.get(), {metric_enum, sub_enum}) : Ref();
    Ref key = chained ? new_value_key(KeyPlace::catalogue) : Ref();
    if (!key) {
        return {};
    }
    Ref ordered = call_kw<2>(state().builtin_sorted, {chained.get(), key.get()}, state().consts.kw_key);
    if (!ordered) {
        return {};
    }
    key.reset();
    chained.reset();
    Ref metrics = Ref::steal(PyDict_New());
    if (!metrics || for_each(ordered.get(), [&](PyObject* member) {
            Ref id = Ref::steal(get_attr(member, state().consts.value));
            return id ? PyDict_SetItem(metrics.get(), id.get(), member) : -1;
        }) < 0) {
        return {};
    }
    return metrics;
}

// all_metric_group: each distinct group named by a sub-metric, once.
Ref distinct_groups(PyObject* sub_enum) {
    Ref groups = Ref::steal(PyList_New(0));
    if (!groups || for_each(sub_enum, [&](PyObject* member) {
            Ref group = Ref::steal(get_attr(member, state().consts.metrics_group));
            if (!group) {
                return -1;
            }
            if (group.get() == Py_None) {
                return 0;
            }
            return list_append_new(groups.get(), get_attr(member, state().consts.metrics_group));
        }) < 0) {
        return {};
    }
    Ref distinct = Ref::steal(PySet_New(groups.get()));
    return Ref::steal(distinct ? PySequence_List(distinct.get()) : nullptr);
}

}  // namespace

int build_catalogues(PyObject* task_enum, PyObject* metric_enum, PyObject* sub_enum, Catalogues& out) {
    Ref task_types = task_type_values(task_enum);
    Ref metrics = task_types ? metrics_by_value(metric_enum, sub_enum) : Ref();
    Ref groups = metrics ? distinct_groups(sub_enum) : Ref();
    if (!groups) {
        return -1;
    }
    out.all_task_type = std::move(task_types);
    out.all_metrics = std::move(metrics);
    out.all_metric_group = std::move(groups);
    return 0;
}

Ref create_scope(PyObject* metric_enum, PyObject* sub_enum, const Catalogues& catalogues, PyObject* task_type,
                 NestedFunctions& out) {
    PyObject* all_defaults = row_defaults();
    Ref scope = all_defaults ? new_scope(kVarCount) : Ref();
    if (!scope) {
        return {};
    }
    PyObject* s = scope.get();
    set_var(s, Var::LLMMetricType, metric_enum);
    set_var(s, Var::LLMSubMetrics, sub_enum);
    set_var(s, Var::all_task_type, catalogues.all_task_type.get());
    set_var(s, Var::all_metrics, catalogues.all_metrics.get());
    set_var(s, Var::all_metric_group, catalogues.all_metric_group.get());
    set_var(s, Var::task_type, task_type);

    // Each function is created in turn; the ones the scope holds are stored as
    // soon as they exist.  On failure the scope is cleared so that no cycle
    // between it and the functions made so far outlives the call.
    for (size_t row = 0; row < std::size(kNestedFunctions); ++row) {
        const NestedFunction& nested = kNestedFunctions[row];
        PyObject* defaults = PyTuple_GET_ITEM(all_defaults, static_cast<Py_ssize_t>(row));
        Ref& fn = out.*nested.slot;
        fn = new_nested(nested.spec, state().consts.show_locals, nested.shares_scope ? s : nullptr,
                        defaults == Py_None ? nullptr : defaults);
        if (!fn) {
            scope_clear_all(s);
            return {};
        }
        if (nested.var != kNoVar) {
            set_var(s, nested.var, fn.get());
        }
    }
    return scope;
}

int show_full_catalogue(const NestedFunctions& fns) {
    for (const NestedFunction& nested : kNestedFunctions) {
        if (nested.full_catalogue && !Ref::steal(PyObject_CallNoArgs((fns.*nested.slot).get()))) {
            return -1;
        }
    }
    return 0;
}

void clear_scope(PyObject* scope) { scope_clear_all(scope); }

Ref scope_read(MethodFunction* fn, Var var) {
    const int index = static_cast<int>(var);
    PyObject* scope = fn->scope;
    PyObject* value = is_scope(scope) ? scope_get(scope, index) : nullptr;
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError,
                     "cannot access free variable '%s' where it is not associated with a value in enclosing scope",
                     kVarNames[index]);
        return {};
    }
    return Ref::borrow(value);
}

}  // namespace llm_metrics::browser
