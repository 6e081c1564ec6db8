#include "browser/browser_scope.hpp"

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

// One row per nested function, in creation order.
struct NestedFunction {
    Ref NestedFunctions::*slot;
    FunctionSpec spec;
    PyObject* Constants::*defaults = nullptr;  // a tuple of the table, or none
    bool shares_scope = true;              // reads the variables of the scope
    Var var = Var::count_;                 // the scope variable holding it; count_: none
};

const NestedFunction kNestedFunctions[] = {
    {.slot = &NestedFunctions::display_all_supported_metrics,
     .spec = {.name = &C::__display_all_supported_metrics, .body = bind<display_all_supported_metrics>}},
    {.slot = &NestedFunctions::display_all_supported_task_type,
     .spec = {.name = &C::__display_all_supported_task_type, .body = bind<display_all_supported_task_type>}},
    {.slot = &NestedFunctions::display_all_supported_metric_group,
     .spec = {.name = &C::__display_all_supported_metric_group, .body = bind<display_all_supported_metric_group>},
     .var = Var::display_all_supported_metric_group},
    {.slot = &NestedFunctions::display_error_msg,
     .spec = {.name = &C::__display_error_msg, .body = bind<display_error_msg>},
     .shares_scope = false,
     .var = Var::display_error_msg},
    {.slot = &NestedFunctions::display_table,
     .spec = {.name = &C::__display_table, .body = bind<display_table>},
     .shares_scope = false,
     .var = Var::display_table},
    {.slot = &NestedFunctions::display_supported_metrics,
     .spec = {.name = &C::__display_supported_metrics, .body = bind<display_supported_metrics>},
     .defaults = &C::defaults_two_nones},
    {.slot = &NestedFunctions::display_supported_task_type,
     .spec = {.name = &C::__display_supported_task_type, .body = bind<display_supported_task_type>},
     .var = Var::display_supported_task_type},
    {.slot = &NestedFunctions::get_supported_metrics,
     .spec = {.name = &C::__get_supported_metrics, .body = bind<get_supported_metrics>},
     .defaults = &C::defaults_one_none,
     .var = Var::get_supported_metrics},
};

// `lambda x: x.value`
const FunctionSpec kValueKey{.name = &C::lambda_, .body = bind<value_key>};

// A function of `spec` made inside another: its qualified name is
// `locals` (the enclosing function's "<qualname>.<locals>.") and its name.
Ref new_nested(const FunctionSpec& spec, PyObject* locals, PyObject* defaults, PyObject* scope) {
    FunctionOptions options;
    options.locals = locals;
    options.defaults = defaults;
    options.scope = scope;
    return new_method_function(spec, state().consts.module_name, state().globals, options);
}

}  // namespace

Ref new_value_key(KeyPlace place) {
    return new_nested(kValueKey, place == KeyPlace::catalogue ? state().consts.show_locals : state().consts.query_locals, nullptr,
                      nullptr);
}

int build_catalogues(PyObject* task_enum, PyObject* metric_enum, PyObject* sub_enum, Catalogues& out) {
    // all_task_type: the value of each task type, in enumeration order.
    Ref task_types = Ref::steal(PyList_New(0));
    if (!task_types || for_each(task_enum, [&](PyObject* member) {
            return list_append_new(task_types.get(), get_attr(member, state().consts.value));
        }) < 0) {
        return -1;
    }

    // all_metrics: both metric enumerations, sorted by value, keyed by value.
    Ref chain = lookup_global(state().consts.chain);
    if (!chain) {
        return -1;
    }
    Ref chained = call<2>(chain.get(), {metric_enum, sub_enum});
    if (!chained) {
        return -1;
    }
    Ref key = new_value_key(KeyPlace::catalogue);
    if (!key) {
        return -1;
    }
    Ref ordered = call_kw<2>(state().builtin_sorted, {chained.get(), key.get()}, state().consts.kw_key);
    if (!ordered) {
        return -1;
    }
    key.reset();
    chained.reset();
    Ref metrics = Ref::steal(PyDict_New());
    if (!metrics || for_each(ordered.get(), [&](PyObject* member) {
            Ref id = Ref::steal(get_attr(member, state().consts.value));
            return id ? PyDict_SetItem(metrics.get(), id.get(), member) : -1;
        }) < 0) {
        return -1;
    }
    ordered.reset();

    // all_metric_group: each distinct group named by a sub-metric, once.
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
        return -1;
    }
    Ref distinct = Ref::steal(PySet_New(groups.get()));
    if (!distinct) {
        return -1;
    }
    Ref group_list = Ref::steal(PySequence_List(distinct.get()));
    if (!group_list) {
        return -1;
    }
    out.all_task_type = std::move(task_types);
    out.all_metrics = std::move(metrics);
    out.all_metric_group = std::move(group_list);
    return 0;
}

Ref create_scope(PyObject* metric_enum, PyObject* sub_enum, const Catalogues& catalogues, PyObject* task_type,
                 NestedFunctions& out) {
    Ref scope = new_scope(kVarCount);
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
    for (const NestedFunction& nested : kNestedFunctions) {
        Ref& fn = out.*nested.slot;
        fn = new_nested(nested.spec, state().consts.show_locals, nested.defaults ? state().consts.*nested.defaults : nullptr,
                        nested.shares_scope ? s : nullptr);
        if (!fn) {
            scope_clear_all(s);
            return {};
        }
        if (nested.var != Var::count_) {
            set_var(s, nested.var, fn.get());
        }
    }
    return scope;
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
