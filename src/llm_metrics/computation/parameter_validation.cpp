// __validate_params: hands each input to the host kit's validate_type, configuration first.
#include <array>

#include "computation/validation.hpp"
#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/globals.hpp"
#include "core/state.hpp"
#include "generated/methods.hpp"

namespace llm_metrics::computation {

int validate_configuration(PyObject* configuration) {
    Ref validate_type = lookup_global(state().consts.validate_type);
    if (!validate_type) {
        return -1;
    }
    PyObject* dict_type = reinterpret_cast<PyObject*>(&PyDict_Type);
    return call<4>(validate_type.get(), {configuration, state().consts.configuration, dict_type, Py_True}) ? 0 : -1;
}

namespace {

// validate_type(frame, "data_frame", [pd.DataFrame], False), with both
// globals looked up now and a new list for every call.
int validate_frame(PyObject* frame) {
    Ref validate_type = lookup_global(state().consts.validate_type);
    if (!validate_type) {
        return -1;
    }
    Ref pd = lookup_global(state().consts.pd);
    if (!pd) {
        return -1;
    }
    Ref data_frame_cls = module_attr(pd.get(), state().consts.DataFrame);
    if (!data_frame_cls) {
        return -1;
    }
    Ref expected = Ref::steal(PyList_New(1));
    if (!expected) {
        return -1;
    }
    PyList_SET_ITEM(expected.get(), 0, data_frame_cls.release());
    return call<4>(validate_type.get(), {frame, state().consts.data_frame, expected.get(), Py_False}) ? 0 : -1;
}

}  // namespace

/*[method]
def __validate_params(self, configuration, sources, predictions, references):
        valid_call = "(configuration, None, None, None)"
[method end]*/
PyObject* validate_params(MethodFunction*, const ValidateParamsParams& p) {
    if (validate_configuration(p.configuration) < 0 || validate_frame(p.sources) < 0 || validate_frame(p.predictions) < 0 ||
        validate_frame(p.references) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace llm_metrics::computation
