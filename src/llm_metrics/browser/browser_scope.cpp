#include "browser/browser_scope.hpp"

#include <array>
#include <iterator>

#include "browser/nested.hpp"
#include "browser/sequences.hpp"
#include "browser/texts.hpp"
#include "core/module_state.hpp"
#include "core/attributes.hpp"
#include "core/names.hpp"
#include "core/python_ops.hpp"

namespace llm_metrics::browser {

namespace {

constexpr int kVarCount = static_cast<int>(Var::count_);

struct BrowserScope {
    PyObject_HEAD
    PyObject* vars[kVarCount];
};

// Variable names as a closure would report them (names with two leading
// underscores are class-private inside LLMMetrics).
constexpr const char* kVarNames[kVarCount] = {
    "LLMMetricType",
    "LLMSubMetrics",
    "all_task_type",
    "all_metrics",
    "all_metric_group",
    "task_type",
    "_LLMMetrics__display_all_supported_metric_group",
    "_LLMMetrics__display_error_msg",
    "_LLMMetrics__display_supported_task_type",
    "_LLMMetrics__display_table",
    "_LLMMetrics__get_supported_metrics",
};

PyTypeObject* ScopeType = nullptr;

BrowserScope* as_scope(PyObject* obj) { return reinterpret_cast<BrowserScope*>(obj); }

int scope_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* var : as_scope(self)->vars) {
        Py_VISIT(var);
    }
    return 0;
}

int scope_clear(PyObject* self) {
    for (PyObject*& var : as_scope(self)->vars) {
        Py_CLEAR(var);
    }
    return 0;
}

void scope_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    scope_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot scope_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(scope_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(scope_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(scope_clear)},
    {},
};

PyType_Spec scope_spec = {
    .name = "llm_metrics.browser_scope",
    .basicsize = sizeof(BrowserScope),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = scope_slots,
};

void set_var(PyObject* scope, Var var, PyObject* value) {
    Py_XSETREF(as_scope(scope)->vars[static_cast<int>(var)], Py_XNewRef(value));
}

// --- the nested functions -----------------------------------------------------

constexpr const char* kNoParams[] = {nullptr};
constexpr const char* kErrorMessageParams[] = {"error_message"};
constexpr const char* kDisplayTableParams[] = {"headers", "record", "title_table"};
constexpr const char* kDisplaySupportedMetricsParams[] = {"_task_type", "metric_group_id"};
constexpr const char* kMetricIdParams[] = {"metric_id"};
constexpr const char* kTaskTypeParams[] = {"_task_type"};
constexpr const char* kKeyParams[] = {"x"};

const FunctionSpec kDisplayAllSupportedMetrics{"__display_all_supported_metrics", kNoParams, 0, false, -1,
                                               display_all_supported_metrics};
const FunctionSpec kDisplayAllSupportedTaskType{"__display_all_supported_task_type", kNoParams, 0, false, -1,
                                                display_all_supported_task_type};
const FunctionSpec kDisplayAllSupportedMetricGroup{"__display_all_supported_metric_group", kNoParams, 0, false, -1,
                                                   display_all_supported_metric_group};
const FunctionSpec kDisplayErrorMsg{"__display_error_msg", kErrorMessageParams, 1, false, -1, display_error_msg};
const FunctionSpec kDisplayTable{"__display_table", kDisplayTableParams, 3, false, -1, display_table};
const FunctionSpec kDisplaySupportedMetrics{"__display_supported_metrics", kDisplaySupportedMetricsParams, 2, false,
                                            -1, display_supported_metrics};
const FunctionSpec kDisplaySupportedTaskType{"__display_supported_task_type", kMetricIdParams, 1, false, -1,
                                             display_supported_task_type};
const FunctionSpec kGetSupportedMetrics{"__get_supported_metrics", kTaskTypeParams, 1, false, -1,
                                        get_supported_metrics};
const FunctionSpec kValueKey{"<lambda>", kKeyParams, 1, false, -1, value_key};

// The reads that build the catalogues, one site each.
struct CatalogueSites {
    AttrSite task_value;
    AttrSite metric_value;
    AttrSite group_test;
    AttrSite group;
} catalogue_sites;

#define LLM_BROWSER_LOCALS "LLMMetrics.show_supported_metrics.<locals>."

// A nested function of `spec`.  Its texts are made the first time and shared
// by every later function made at the same place (`texts`).
Ref new_nested(const FunctionSpec& spec, const char* qualname, FunctionTexts& texts, PyObject* defaults,
               PyObject* scope) {
    if (texts.name == nullptr && make_function_texts(spec, qualname, nullptr, texts) < 0) {
        return {};
    }
    FunctionOptions options;
    options.texts = &texts;
    options.defaults = defaults;
    options.scope = scope;
    return new_method_function(spec, names.module_name, state.globals, options);
}

FunctionTexts catalogue_key_texts;
FunctionTexts query_key_texts;

}  // namespace

int init_scope_type() {
    if (ScopeType != nullptr) {
        return 0;
    }
    ScopeType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&scope_spec));
    if (ScopeType == nullptr) {
        // CPython 3.13.0 can fail to allocate the type's name without saying so.
        return PyErr_Occurred() ? -1 : (PyErr_NoMemory(), -1);
    }
    return 0;
}

Ref new_value_key(KeyPlace place) {
    if (place == KeyPlace::catalogue) {
        return new_nested(kValueKey, kCatalogueKeyQualname, catalogue_key_texts, nullptr, nullptr);
    }
    return new_nested(kValueKey, kQueryKeyQualname, query_key_texts, nullptr, nullptr);
}

int build_catalogues(PyObject* task_enum, PyObject* metric_enum, PyObject* sub_enum, Catalogues& out) {
    // all_task_type: the value of each task type, in enumeration order.
    Ref task_types = Ref::steal(PyList_New(0));
    if (!task_types || for_each(task_enum, [&](PyObject* member) {
            return list_append_new(task_types.get(), get_attr(member, names.value, catalogue_sites.task_value));
        }) < 0) {
        return -1;
    }

    // all_metrics: both metric enumerations, sorted by value, keyed by value.
    Ref chain = lookup_global(names.chain);
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
    Ref ordered = call_kw<2>(state.builtin_sorted, {chained.get(), key.get()}, names.kw_key);
    if (!ordered) {
        return -1;
    }
    key.reset();
    chained.reset();
    Ref metrics = Ref::steal(PyDict_New());
    if (!metrics || for_each(ordered.get(), [&](PyObject* member) {
            Ref id = Ref::steal(get_attr(member, names.value, catalogue_sites.metric_value));
            return id ? PyDict_SetItem(metrics.get(), id.get(), member) : -1;
        }) < 0) {
        return -1;
    }
    ordered.reset();

    // all_metric_group: each distinct group named by a sub-metric, once.
    Ref groups = Ref::steal(PyList_New(0));
    if (!groups || for_each(sub_enum, [&](PyObject* member) {
            Ref group = Ref::steal(get_attr(member, names.metrics_group, catalogue_sites.group_test));
            if (!group) {
                return -1;
            }
            if (group.get() == Py_None) {
                return 0;
            }
            return list_append_new(groups.get(), get_attr(member, names.metrics_group, catalogue_sites.group));
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
    BrowserScope* raw = PyObject_GC_New(BrowserScope, ScopeType);
    if (raw == nullptr) {
        return {};
    }
    for (PyObject*& var : raw->vars) {
        var = nullptr;
    }
    PyObject_GC_Track(raw);
    Ref scope = Ref::steal(reinterpret_cast<PyObject*>(raw));
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
    struct Step {
        Ref NestedFunctions::*slot;
        const FunctionSpec* spec;
        const char* qualname;
        PyObject* defaults;
        bool shares_scope;
        Var var;  // Var::count_: not held by the scope
    };
    const Step steps[] = {
        {&NestedFunctions::display_all_supported_metrics, &kDisplayAllSupportedMetrics,
         LLM_BROWSER_LOCALS "__display_all_supported_metrics", nullptr, true, Var::count_},
        {&NestedFunctions::display_all_supported_task_type, &kDisplayAllSupportedTaskType,
         LLM_BROWSER_LOCALS "__display_all_supported_task_type", nullptr, true, Var::count_},
        {&NestedFunctions::display_all_supported_metric_group, &kDisplayAllSupportedMetricGroup,
         LLM_BROWSER_LOCALS "__display_all_supported_metric_group", nullptr, true,
         Var::display_all_supported_metric_group},
        {&NestedFunctions::display_error_msg, &kDisplayErrorMsg, LLM_BROWSER_LOCALS "__display_error_msg", nullptr,
         false, Var::display_error_msg},
        {&NestedFunctions::display_table, &kDisplayTable, LLM_BROWSER_LOCALS "__display_table", nullptr, false,
         Var::display_table},
        {&NestedFunctions::display_supported_metrics, &kDisplaySupportedMetrics,
         LLM_BROWSER_LOCALS "__display_supported_metrics", texts.defaults_two_nones, true, Var::count_},
        {&NestedFunctions::display_supported_task_type, &kDisplaySupportedTaskType,
         LLM_BROWSER_LOCALS "__display_supported_task_type", nullptr, true, Var::display_supported_task_type},
        {&NestedFunctions::get_supported_metrics, &kGetSupportedMetrics,
         LLM_BROWSER_LOCALS "__get_supported_metrics", texts.defaults_one_none, true, Var::get_supported_metrics},
    };
    static FunctionTexts step_texts[std::size(steps)];
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        Ref& fn = out.*step.slot;
        fn = new_nested(*step.spec, step.qualname, step_texts[i], step.defaults, step.shares_scope ? s : nullptr);
        if (!fn) {
            scope_clear(s);
            return {};
        }
        if (step.var != Var::count_) {
            set_var(s, step.var, fn.get());
        }
    }
    return scope;
}

void clear_scope(PyObject* scope) {
    if (scope != nullptr && Py_IS_TYPE(scope, ScopeType)) {
        scope_clear(scope);
    }
}

Ref scope_read(MethodFunction* fn, Var var) {
    const int index = static_cast<int>(var);
    PyObject* scope = fn->scope;
    PyObject* value = scope != nullptr && Py_IS_TYPE(scope, ScopeType) ? as_scope(scope)->vars[index] : nullptr;
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError,
                     "cannot access free variable '%s' where it is not associated with a value in enclosing scope",
                     kVarNames[index]);
        return {};
    }
    return Ref::borrow(value);
}

}  // namespace llm_metrics::browser
