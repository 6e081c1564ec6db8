// __get_metrics_manager: imports the plugin's manager module at call time,
// builds the manager for `configuration` and extends the caller's keyword
// dictionary in place with the host client's connection details.
#include <array>
#include <initializer_list>

#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/globals.hpp"
#include "core/state.hpp"
#include "generated/methods.hpp"

namespace llm_metrics::computation {

namespace {

constexpr char kInstallHint[] = "Unable to find metric-plugins library with LLM support to compute metrics. "
                                "Please install it using `pip install zel-metrics-plugin`";

// __import__(<manager module>, fromlist=["LLMMetricManager"]) through the
// builtin taken at initialisation; a fresh fromlist list on every call.
Ref import_manager_module() {
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist) {
        return {};
    }
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(state().consts.LLMMetricManager));
    return call_kw<2>(state().builtin_import, {state().consts.manager_module, fromlist.get()}, state().consts.kw_fromlist);
}

// kwargs[name] = value.  An exact dict is stored into directly: for it the
// subscript assignment is that very call.
int store(PyObject* kwargs, PyObject* name, PyObject* value) {
    return PyDict_CheckExact(kwargs) ? PyDict_SetItem(kwargs, name, value) : PyObject_SetItem(kwargs, name, value);
}

// kwargs[name] = self.ai_client.<name>, both attributes read now.
int store_client_attribute(PyObject* self, PyObject* kwargs, PyObject* name) {
    Ref client = Ref::steal(get_attr(self, state().consts.ai_client));
    Ref value = Ref::steal(client ? get_attr(client.get(), name) : nullptr);
    return value ? store(kwargs, name, value.get()) : -1;
}

}  // namespace

/*[method]
def __get_metrics_manager(self, configuration, kwargs):
        valid_call = "(configuration, {'extra': 1})"
[method end]*/
PyObject* get_metrics_manager(MethodFunction*, const GetMetricsManagerParams& p) {
    Ref manager_module = import_manager_module();
    if (!manager_module) {
        return raise_install_hint(kInstallHint);
    }

    // Where the request comes from, before the manager is built.
    if (store_client_attribute(p.self, p.kwargs, state().consts.is_vesk) < 0 ||
        store(p.kwargs, state().consts.origin, state().consts.sdk) < 0) {
        return nullptr;
    }

    // The constructor gets its own copy of the keywords as they stand now.
    Ref manager_cls = module_attr(manager_module.get(), state().consts.LLMMetricManager);
    Ref manager = manager_cls ? call_with_mapping(manager_cls.get(), &p.configuration, 1, p.kwargs) : Ref();
    if (!manager) {
        return nullptr;
    }

    // The connection details the later calls on the manager carry.
    Ref is_bearer_token = Ref::steal(get_attr(p.self, state().consts.is_bearer_token));
    if (!is_bearer_token || store(p.kwargs, state().consts.is_bearer_token, is_bearer_token.get()) < 0) {
        return nullptr;
    }
    for (PyObject* attr : {state().consts.authenticator, state().consts.service_url, state().consts.host, state().consts.service_instance_id}) {
        if (store_client_attribute(p.self, p.kwargs, attr) < 0) {
            return nullptr;
        }
    }
    return manager.release();
}

}  // namespace llm_metrics::computation
