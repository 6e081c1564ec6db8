#include "llm_metrics_class.hpp"

#include <initializer_list>

#include "browser/browser.hpp"
#include "computation/computation.hpp"
#include "core/calls.hpp"
#include "core/globals.hpp"
#include "core/method_function.hpp"
#include "core/state.hpp"
#include "docstrings.hpp"

namespace llm_metrics {

namespace {

// __init__(self, ai_client)
PyObject* init_body(MethodFunction*, PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    PyObject* ai_client = args[1];

    Ref validate_type = lookup_global(state().consts.validate_type);
    if (!validate_type) {
        return nullptr;
    }
    Ref base_service = lookup_global(state().consts.BaseService);
    if (!base_service) {
        return nullptr;
    }
    if (!call<4>(validate_type.get(), {ai_client, state().consts.ai_client, base_service.get(), Py_True})) {
        return nullptr;
    }
    if (PyObject_SetAttr(self, state().consts.ai_client, ai_client) < 0 || PyObject_SetAttr(self, state().consts.is_bearer_token, Py_False) < 0) {
        return nullptr;
    }
    Ref evaluators_cls = lookup_global(state().consts.LLMAJEvaluators);
    if (!evaluators_cls) {
        return nullptr;
    }
    Ref evaluators = call<1>(evaluators_cls.get(), {ai_client});
    if (!evaluators || PyObject_SetAttr(self, state().consts.evaluators, evaluators.get()) < 0) {
        return nullptr;
    }
    Ref client = Ref::steal(PyObject_GetAttr(self, state().consts.ai_client));
    if (!client) {
        return nullptr;
    }
    Ref authenticator = Ref::steal(PyObject_GetAttr(client.get(), state().consts.authenticator));
    if (!authenticator) {
        return nullptr;
    }
    Ref bearer_cls = lookup_global(state().consts.BearerTokenAuthenticator);
    if (!bearer_cls) {
        return nullptr;
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(authenticator.get())) == bearer_cls.get() &&
        PyObject_SetAttr(self, state().consts.is_bearer_token, Py_True) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

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
    FunctionSpec spec;
    DocText doc = {};
    Defaults defaults = Defaults::none;
    std::initializer_list<Annotation> annotations = {};
};

using N = Constants;

// The class body, in definition order: one row per method.
const MethodEntry kMethodTable[] = {
    {.spec = {.name = &N::__init__, .params = {&N::self, &N::ai_client}, .body = init_body},
     .annotations = {{"ai_client", "'TarnQuillgateV2Adapter'"}, {"return", "None"}}},
    {.spec = {.name = &N::compute_metrics,
              .params = {&N::self, &N::configuration, &N::sources, &N::predictions, &N::references,
                         &N::custom_evaluators},
              .var_keywords = true,
              .exact_dict_param = 1,
              .body = computation::compute_metrics},
     .doc = doc_of(docstrings::compute_metrics),
     .defaults = Defaults::compute_metrics,
     .annotations = {{"configuration", "dict"},
                     {"sources", "pd.DataFrame"},
                     {"predictions", "pd.DataFrame"},
                     {"references", "pd.DataFrame"}}},
    {.spec = {.name = &N::get_metrics_result,
              .params = {&N::self, &N::configuration, &N::metrics_result},
              .var_keywords = true,
              .exact_dict_param = 1,
              .body = computation::get_metrics_result},
     .doc = doc_of(docstrings::get_metrics_result),
     .annotations = {{"configuration", "dict"}}},
    {.spec = {.name = &N::__get_metrics_manager,
              .params = {&N::self, &N::configuration, &N::kwargs},
              .body = computation::get_metrics_manager}},
    {.spec = {.name = &N::__show_supported_metrics_old,
              .params = {&N::self, &N::metric_type_module},
              .body = browser::show_supported_metrics_old}},
    {.spec = {.name = &N::show_supported_metrics,
              .params = {&N::self, &N::task_type, &N::metric_id, &N::metric_group},
              .body = browser::show_supported_metrics},
     .doc = doc_of(docstrings::show_supported_metrics),
     .defaults = Defaults::three_nones},
    {.spec = {.name = &N::__validate_params,
              .params = {&N::self, &N::configuration, &N::sources, &N::predictions, &N::references},
              .body = computation::validate_params}},
    {.spec = {.name = &N::display_result, .params = {&N::self, &N::results}, .body = computation::display_result}},
    {.spec = {.name = &N::__is_key_present,
              .params = {&N::self, &N::config, &N::key},
              .body = computation::is_key_present},
     .doc = doc_of(docstrings::is_key_present)},
};

// The key of a method in the class dictionary: its name, mangled as a class
// body mangles private names (`__x` becomes `_LLMMetrics__x`).
Ref class_key(PyObject* name) {
    const Py_ssize_t length = PyUnicode_GetLength(name);
    const bool is_private = length > 2 && PyUnicode_ReadChar(name, 0) == '_' && PyUnicode_ReadChar(name, 1) == '_' &&
                            !(PyUnicode_ReadChar(name, length - 1) == '_' && PyUnicode_ReadChar(name, length - 2) == '_');
    if (!is_private) {
        return Ref::borrow(name);
    }
    PyObject* key = PyUnicode_FromFormat("_%U%U", state().consts.LLMMetrics, name);
    if (key != nullptr) {
        PyUnicode_InternInPlace(&key);
    }
    return Ref::steal(key);
}

Ref make_defaults(Defaults kind) {
    switch (kind) {
        case Defaults::none:
            return {};
        case Defaults::three_nones:
            return Ref::borrow(state().consts.defaults_three_nones);
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
    Ref module_name = Ref::steal(PyObject_GetAttr(module, state().consts.__name__));
    if (!module_name) {
        return false;
    }
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), state().consts.__module__, module_name.get()) < 0 ||
        PyDict_SetItem(ns.get(), state().consts.__qualname__, state().consts.LLMMetrics) < 0) {
        return false;
    }
    Ref class_dot = Ref::steal(PyUnicode_FromFormat("%U.", state().consts.LLMMetrics));
    if (!class_dot) {
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
        // "LLMMetrics.<name>", found in the class under its (mangled) key
        PyObject* name = state().consts.*entry.spec.name;
        Ref key = class_key(name);
        if (!key) {
            return false;
        }
        Ref qualname = Ref::steal(PyUnicode_Concat(class_dot.get(), name));
        if (!qualname) {
            return false;
        }
        FunctionOptions options;
        options.qualname = qualname.get();
        options.doc = doc.get();
        options.defaults = defaults.get();
        options.annotations = annotations.get();
        Ref fn = new_method_function(entry.spec, module_name.get(), globals, options);
        if (!fn || PyDict_SetItem(ns.get(), key.get(), fn.get()) < 0) {
            return false;
        }
        if (entry.spec.body == computation::compute_metrics) {
            out.compute_metrics_doc = doc;
        } else if (entry.spec.body == computation::get_metrics_result) {
            out.get_metrics_result_doc = doc;
        }
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) {
        return false;
    }
    out.cls = call<3>(reinterpret_cast<PyObject*>(&PyType_Type), {state().consts.LLMMetrics, bases.get(), ns.get()});
    return static_cast<bool>(out.cls);
}

}  // namespace llm_metrics
