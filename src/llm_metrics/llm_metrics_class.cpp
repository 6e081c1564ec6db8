#include "llm_metrics_class.hpp"

#include <initializer_list>
#include <string_view>

#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/globals.hpp"
#include "core/method_function.hpp"
#include "core/state.hpp"
#include "generated/methods.hpp"

namespace llm_metrics {

/*[method]
def __init__(self, ai_client: "'TarnQuillgateV2Adapter'") -> "None":
        stub = "(self, ai_client: BaseService) -> None"
        valid_call = "(client)"
[method end]*/
PyObject* init_body(MethodFunction*, const InitParams& p) {
    Ref validate_type = lookup_global(state().consts.validate_type);
    Ref base_service = validate_type ? lookup_global(state().consts.BaseService) : Ref();
    if (!base_service ||
        !call<4>(validate_type.get(), {p.ai_client, state().consts.ai_client, base_service.get(), Py_True}) ||
        set_attr(p.self, state().consts.ai_client, p.ai_client) < 0 ||
        set_attr(p.self, state().consts.is_bearer_token, Py_False) < 0) {
        return nullptr;
    }
    Ref evaluators_cls = lookup_global(state().consts.LLMAJEvaluators);
    Ref evaluators = evaluators_cls ? call<1>(evaluators_cls.get(), {p.ai_client}) : Ref();
    if (!evaluators || set_attr(p.self, state().consts.evaluators, evaluators.get()) < 0) {
        return nullptr;
    }
    Ref client = Ref::steal(get_attr(p.self, state().consts.ai_client));
    Ref authenticator = Ref::steal(client ? get_attr(client.get(), state().consts.authenticator) : nullptr);
    Ref bearer_cls = authenticator ? lookup_global(state().consts.BearerTokenAuthenticator) : Ref();
    if (!bearer_cls || (reinterpret_cast<PyObject*>(Py_TYPE(authenticator.get())) == bearer_cls.get() &&
                        set_attr(p.self, state().consts.is_bearer_token, Py_True) < 0)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

namespace {

// One annotation: the parameter (or `return_`) and its text, both from the table.
struct Annotation {
    NameField name;
    NameField value;
};

// A method's whole Python-visible contract, made from its block: name,
// parameters, body and defaults (`spec`), docstring (UTF-8), annotations and
// its doctest entry.
struct MethodEntry {
    FunctionSpec spec;
    std::string_view doc = {};  // no data: no docstring
    std::initializer_list<Annotation> annotations = {};
    NameField doctest = nullptr;  // the key of its docstring in __test__, or none
};

using C = Constants;

// The class body, in definition order: one row per method, made from the
// method's block (above its body) by tools/method_blocks.py.
/*[class LLMMetrics]
__init__ compute_metrics get_metrics_result __get_metrics_manager __show_supported_metrics_old
show_supported_metrics __validate_params display_result __is_key_present
[class end]*/
const MethodEntry kMethodTable[] = {
#include "generated/method_table.inc"
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

#if PY_VERSION_HEX < 0x030E0000
Ref make_annotations(std::initializer_list<Annotation> annotations) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return {};
    }
    for (const Annotation& a : annotations) {
        if (PyDict_SetItem(dict.get(), state().consts.*a.name, state().consts.*a.value) < 0) {
            return {};
        }
    }
    return dict;
}
#endif

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 a method's annotations come from its __annotate__, the function
// the compiler makes for a def with annotations.  Those of the methods are
// made the same way: the source of a class of the same name whose methods
// carry the same annotations (all of them strings), compiled once and run in
// the module's globals, so that every __annotate__ behaves, and is named, as
// the compiler makes it, with the module's globals and __module__.  The class
// itself goes into a namespace of its own, not into the globals.
Ref make_annotated_class(PyObject* globals) {
    Ref source = Ref::steal(PyUnicode_FromFormat("class %U:\n", state().consts.LLMMetrics));
    for (const MethodEntry& entry : kMethodTable) {
        if (!source) {
            return {};
        }
        if (entry.annotations.size() == 0) {
            continue;
        }
        Ref params = Ref::steal(PyUnicode_FromString(""));
        Ref returns = Ref::steal(PyUnicode_FromString(""));
        for (const Annotation& a : entry.annotations) {
            if (!params || !returns) {
                return {};
            }
            PyObject* value = state().consts.*a.value;
            if (a.name == &C::return_) {
                returns = Ref::steal(PyUnicode_FromFormat(" -> %R", value));
            } else {
                params = Ref::steal(PyUnicode_FromFormat("%U%U: %R, ", params.get(), state().consts.*a.name, value));
            }
        }
        if (!params || !returns) {
            return {};
        }
        source = Ref::steal(PyUnicode_FromFormat("%U    def %U(%U)%U: pass\n", source.get(),
                                                 state().consts.*entry.spec.name, params.get(), returns.get()));
    }
    const char* text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    if (text == nullptr) {
        return {};
    }
    Ref code = Ref::steal(Py_CompileString(text, kAnnotateSourceFile, Py_file_input));
    Ref ns = Ref::steal(code ? PyDict_New() : nullptr);
    if (!ns) {
        return {};
    }
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals, ns.get()));
    if (!done) {
        return {};
    }
    Ref cls;
    if (PyDict_GetItemRef(ns.get(), state().consts.LLMMetrics, cls.put()) == 0) {
        PyErr_SetString(PyExc_SystemError, kAnnotateClassMissing);
    }
    return cls;
}
#endif

// The __annotate__ (3.14 and later) or the __annotations__ of one method.
#if PY_VERSION_HEX >= 0x030E0000
Ref method_annotations(const MethodEntry& entry, PyObject* key, PyObject* annotated) {
    if (entry.annotations.size() == 0) {
        return Ref::borrow(Py_None);
    }
    Ref stub = Ref::steal(PyObject_GetAttr(annotated, key));
    return Ref::steal(stub ? PyObject_GetAttr(stub.get(), state().consts.__annotate__) : nullptr);
}
#else
Ref method_annotations(const MethodEntry& entry, PyObject*, PyObject*) { return make_annotations(entry.annotations); }
#endif

// Puts the method of `entry` into the class namespace `ns`, under its
// (mangled) key, and its docstring into `doctests` when it has an entry there.
int add_method(const MethodEntry& entry, PyObject* ns, PyObject* module_name, PyObject* globals, PyObject* doctests,
               PyObject* annotated) {
    Ref doc = entry.doc.data() ? Ref::steal(PyUnicode_DecodeUTF8(entry.doc.data(), std::ssize(entry.doc), nullptr))
                             : Ref::borrow(Py_None);
    PyObject* name = state().consts.*entry.spec.name;
    Ref key = doc ? class_key(name) : Ref();
    Ref annotations = key ? method_annotations(entry, key.get(), annotated) : Ref();
    // "LLMMetrics.<name>"
    Ref qualname = Ref::steal(annotations ? PyUnicode_FromFormat("%U.%U", state().consts.LLMMetrics, name) : nullptr);
    if (!qualname) {
        return -1;
    }
    FunctionOptions options;
    options.qualname = qualname.get();
    options.doc = doc.get();
#if PY_VERSION_HEX >= 0x030E0000
    options.annotate = annotations.get() == Py_None ? nullptr : annotations.get();
#else
    options.annotations = annotations.get();
#endif
    Ref fn = new_method_function(entry.spec, module_name, globals, options);
    if (!fn || PyDict_SetItem(ns, key.get(), fn.get()) < 0) {
        return -1;
    }
    return entry.doctest != nullptr ? PyDict_SetItem(doctests, state().consts.*entry.doctest, doc.get()) : 0;
}

}  // namespace

Ref create_llm_metrics_class(PyObject* module, PyObject* globals, PyObject* doctests) {
    Ref module_name = Ref::steal(get_attr(module, state().consts.__name__));
    if (!module_name) {
        return {};
    }
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), state().consts.__module__, module_name.get()) < 0 ||
        PyDict_SetItem(ns.get(), state().consts.__qualname__, state().consts.LLMMetrics) < 0) {
        return {};
    }
#if PY_VERSION_HEX >= 0x030E0000
    Ref annotated = make_annotated_class(globals);
    if (!annotated) {
        return {};
    }
#else
    Ref annotated = Ref::borrow(Py_None);
#endif
    for (const MethodEntry& entry : kMethodTable) {
        if (add_method(entry, ns.get(), module_name.get(), globals, doctests, annotated.get()) < 0) {
            return {};
        }
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) {
        return {};
    }
    return call<3>(reinterpret_cast<PyObject*>(&PyType_Type), {state().consts.LLMMetrics, bases.get(), ns.get()});
}

}  // namespace llm_metrics
