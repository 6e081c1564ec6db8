#include "llm_metrics_class.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "browser/browser.hpp"
#include "computation/computation.hpp"
#include "core/method_function.hpp"
#include "core/names.hpp"
#include "core/python_ops.hpp"
#include "docstrings.hpp"

namespace llm_metrics {

namespace {

// __init__(self, ai_client)
PyObject* init_body(MethodFunction*, PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    PyObject* ai_client = args[1];

    Ref validate_type = lookup_global(names.validate_type);
    if (!validate_type) {
        return nullptr;
    }
    Ref base_service = lookup_global(names.BaseService);
    if (!base_service) {
        return nullptr;
    }
    if (!call<4>(validate_type.get(), {ai_client, names.ai_client, base_service.get(), Py_True})) {
        return nullptr;
    }
    if (set_attr(self, names.ai_client, ai_client) < 0 || set_attr(self, names.is_bearer_token, Py_False) < 0) {
        return nullptr;
    }
    Ref evaluators_cls = lookup_global(names.LLMAJEvaluators);
    if (!evaluators_cls) {
        return nullptr;
    }
    Ref evaluators = call<1>(evaluators_cls.get(), {ai_client});
    if (!evaluators || set_attr(self, names.evaluators, evaluators.get()) < 0) {
        return nullptr;
    }
    Ref client = Ref::steal(PyObject_GetAttr(self, names.ai_client));
    if (!client) {
        return nullptr;
    }
    Ref authenticator = Ref::steal(PyObject_GetAttr(client.get(), names.authenticator));
    if (!authenticator) {
        return nullptr;
    }
    Ref bearer_cls = lookup_global(names.BearerTokenAuthenticator);
    if (!bearer_cls) {
        return nullptr;
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(authenticator.get())) == bearer_cls.get() &&
        set_attr(self, names.is_bearer_token, Py_True) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// LLMMetrics(...): the class's own vectorcall.  While the class is created
// by object.__new__ and initialised by a Python-level __init__ (its own
// function, or whatever replaced it), the call runs as type.__call__ would,
// without building an argument tuple and dictionary; otherwise it takes the
// generic path.  Subclasses do not inherit a type's vectorcall.
PyObject* class_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (is_plain_class(callable, class_vectorcall)) {
        return construct(reinterpret_cast<PyTypeObject*>(callable), args, nargsf, kwnames);
    }
    return type_call(callable, args, nargsf, kwnames);
}

constexpr const char* kInitParams[] = {"self", "ai_client"};
constexpr const char* kComputeMetricsParams[] = {"self", "configuration", "sources", "predictions",
                                                 "references", "custom_evaluators"};
constexpr const char* kGetMetricsResultParams[] = {"self", "configuration", "metrics_result"};
constexpr const char* kGetMetricsManagerParams[] = {"self", "configuration", "kwargs"};
constexpr const char* kShowOldParams[] = {"self", "metric_type_module"};
constexpr const char* kShowParams[] = {"self", "task_type", "metric_id", "metric_group"};
constexpr const char* kValidateParams[] = {"self", "configuration", "sources", "predictions", "references"};
constexpr const char* kDisplayResultParams[] = {"self", "results"};
constexpr const char* kIsKeyPresentParams[] = {"self", "config", "key"};

template <size_t N>
constexpr Py_ssize_t count(const char* const (&)[N]) {
    return static_cast<Py_ssize_t>(N);
}

const FunctionSpec kInit{"__init__", kInitParams, count(kInitParams), false, -1, init_body};
const FunctionSpec kComputeMetrics{"compute_metrics", kComputeMetricsParams, count(kComputeMetricsParams), true, 1,
                                   computation::compute_metrics};
const FunctionSpec kGetMetricsResult{"get_metrics_result", kGetMetricsResultParams,
                                     count(kGetMetricsResultParams), true, 1, computation::get_metrics_result};
const FunctionSpec kGetMetricsManager{"__get_metrics_manager", kGetMetricsManagerParams,
                                      count(kGetMetricsManagerParams), false, -1,
                                      computation::get_metrics_manager};
const FunctionSpec kShowOld{"__show_supported_metrics_old", kShowOldParams, count(kShowOldParams), false, -1,
                            browser::show_supported_metrics_old};
const FunctionSpec kShow{"show_supported_metrics", kShowParams, count(kShowParams), false, -1,
                         browser::show_supported_metrics};
const FunctionSpec kValidate{"__validate_params", kValidateParams, count(kValidateParams), false, -1,
                             computation::validate_params};
const FunctionSpec kDisplayResult{"display_result", kDisplayResultParams, count(kDisplayResultParams), false, -1,
                                  computation::display_result};
const FunctionSpec kIsKeyPresent{"__is_key_present", kIsKeyPresentParams, count(kIsKeyPresentParams), false, -1,
                                 computation::is_key_present};

enum class Defaults { none, compute_metrics, three_nones };

struct Annotation {
    const char* name;
    const char* value;
};

// A docstring with its length in bytes (UTF-8).
struct DocText {
    const char* text = nullptr;  // null: no docstring
    Py_ssize_t length = 0;
};

template <size_t N>
constexpr DocText doc_of(const char (&text)[N]) {
    return DocText{text, static_cast<Py_ssize_t>(N - 1)};
}

struct MethodEntry {
    const FunctionSpec* spec;
    const char* class_key;  // key in the class dictionary
    DocText doc;
    Defaults defaults;
    std::initializer_list<Annotation> annotations;
};

// The class body, in definition order.
const MethodEntry kMethodTable[] = {
    {&kInit, "__init__", {}, Defaults::none, {{"ai_client", "'TarnQuillgateV2Adapter'"}, {"return", "None"}}},
    {&kComputeMetrics, "compute_metrics", doc_of(docstrings::compute_metrics), Defaults::compute_metrics,
     {{"configuration", "dict"},
      {"sources", "pd.DataFrame"},
      {"predictions", "pd.DataFrame"},
      {"references", "pd.DataFrame"}}},
    {&kGetMetricsResult, "get_metrics_result", doc_of(docstrings::get_metrics_result), Defaults::none,
     {{"configuration", "dict"}}},
    {&kGetMetricsManager, "_LLMMetrics__get_metrics_manager", {}, Defaults::none, {}},
    {&kShowOld, "_LLMMetrics__show_supported_metrics_old", {}, Defaults::none, {}},
    {&kShow, "show_supported_metrics", doc_of(docstrings::show_supported_metrics), Defaults::three_nones, {}},
    {&kValidate, "_LLMMetrics__validate_params", {}, Defaults::none, {}},
    {&kDisplayResult, "display_result", {}, Defaults::none, {}},
    {&kIsKeyPresent, "_LLMMetrics__is_key_present", doc_of(docstrings::is_key_present), Defaults::none, {}},
};

Ref make_defaults(Defaults kind) {
    switch (kind) {
        case Defaults::none:
            return {};
        case Defaults::three_nones:
            return Ref::steal(PyTuple_Pack(3, Py_None, Py_None, Py_None));
        case Defaults::compute_metrics: {
            // The one list shared by every call that omits custom_evaluators.
            Ref shared_list = Ref::steal(PyList_New(0));
            if (!shared_list) {
                return {};
            }
            return Ref::steal(PyTuple_Pack(4, Py_None, Py_None, Py_None, shared_list.get()));
        }
    }
    return {};
}

Ref make_annotations(std::initializer_list<Annotation> annotations) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return {};
    }
    for (const Annotation& a : annotations) {
        Ref value = Ref::steal(PyUnicode_FromString(a.value));
        if (!value || PyDict_SetItemString(dict.get(), a.name, value.get()) < 0) {
            return {};
        }
    }
    return dict;
}

}  // namespace

bool create_llm_metrics_class(PyObject* module, PyObject* globals, CreatedClass& out) {
    Ref module_name = Ref::steal(PyObject_GetAttr(module, names.__name__));
    if (!module_name) {
        return false;
    }
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), names.__module__, module_name.get()) < 0 ||
        PyDict_SetItem(ns.get(), names.__qualname__, names.LLMMetrics) < 0) {
        return false;
    }
    for (const MethodEntry& entry : kMethodTable) {
        Ref doc = entry.doc.text ? Ref::steal(PyUnicode_DecodeUTF8(entry.doc.text, entry.doc.length, nullptr))
                                 : Ref::borrow(Py_None);
        if (!doc) {
            return false;
        }
        Ref defaults = make_defaults(entry.defaults);
        if (!defaults && PyErr_Occurred()) {
            return false;
        }
        Ref annotations = make_annotations(entry.annotations);
        if (!annotations) {
            return false;
        }
        // "LLMMetrics.<name>" and "LLMMetrics.<class key>"
        char qualname[96];
        char reduce_name[96];
        snprintf(qualname, sizeof(qualname), "LLMMetrics.%s", entry.spec->name);
        snprintf(reduce_name, sizeof(reduce_name), "LLMMetrics.%s", entry.class_key);
        FunctionOptions options;
        options.qualname = qualname;
        options.reduce_name = reduce_name;
        options.doc = doc.get();
        options.defaults = defaults.get();
        options.annotations = annotations.get();
        Ref fn = new_method_function(*entry.spec, module_name.get(), globals, options);
        if (!fn) {
            return false;
        }
        Ref key = Ref::steal(intern_ascii(entry.class_key, strlen(entry.class_key)));
        if (!key || PyDict_SetItem(ns.get(), key.get(), fn.get()) < 0) {
            return false;
        }
        if (entry.spec == &kComputeMetrics) {
            out.compute_metrics_doc = doc;
        } else if (entry.spec == &kGetMetricsResult) {
            out.get_metrics_result_doc = doc;
        }
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) {
        return false;
    }
    out.cls = call<3>(reinterpret_cast<PyObject*>(&PyType_Type), {names.LLMMetrics, bases.get(), ns.get()});
    if (!out.cls) {
        return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(out.cls.get());
    // __init__ is a function of this module, so tp_init is the interpreter's
    // slot for Python-level __init__ methods.
    note_python_init_slot(type->tp_init);
    type->tp_vectorcall = class_vectorcall;
    return true;
}

}  // namespace llm_metrics
