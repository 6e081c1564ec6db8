// The function objects of this extension as data: the static description
// of a function (`FunctionSpec`), the parameters its body receives by name
// (`LLM_PARAMS`) and the object made from it (`MethodFunction`).  The
// behaviour of the type is in method_function.hpp; argument binding
// (arg_binding.hpp) reads these structures only.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>

#include "core/state.hpp"

namespace llm_metrics {

struct MethodFunction;

// Most parameters any function of this extension may have (`self` included):
// the binder's capacity.  A parameter list longer than this does not compile.
inline constexpr Py_ssize_t kMaxParams = 8;

// An entry of the table of constants.
using NameField = PyObject* Constants::*;

// --- parameters by name ---------------------------------------------------------
//
//     LLM_PARAMS(ShowParams, self, task_type, metric_id, metric_group);
//     PyObject* show(MethodFunction* fn, const ShowParams& p);   // reads p.task_type
//
// declares the struct a body receives: one borrowed `PyObject*` per
// parameter, named as the parameter (and as its entry in the table of
// names), all bound, defaults applied.  `LLM_PARAMS_KW` adds `kwargs`, the
// new dictionary of the extra keywords of a function with `**kwargs`.
// A body returns a new reference, or null with an exception set.

#define LLM_PARAMS(Struct, ...) LLM_PARAMS_STRUCT(Struct, false, , __VA_ARGS__)
#define LLM_PARAMS_KW(Struct, ...) LLM_PARAMS_STRUCT(Struct, true, PyObject* kwargs;, __VA_ARGS__)

#define LLM_PARAMS_STRUCT(Struct, var_keywords, extra_field, ...)                                      \
    struct Struct {                                                                                    \
        LLM_FOR_EACH(LLM_PARAM_FIELD, __VA_ARGS__)                                                     \
        extra_field                                                                                    \
        static constexpr NameField kNames[] = {LLM_FOR_EACH(LLM_PARAM_NAME, __VA_ARGS__) nullptr};     \
        static constexpr Py_ssize_t kCount = static_cast<Py_ssize_t>(sizeof(kNames) / sizeof(kNames[0])) - 1; \
        static constexpr bool kVarKeywords = var_keywords;                                             \
        static_assert(kCount <= ::llm_metrics::kMaxParams, "more parameters than the binder holds");  \
    }
#define LLM_PARAM_FIELD(name) PyObject* name;
#define LLM_PARAM_NAME(name) &::llm_metrics::Constants::name,

// LLM_FOR_EACH(macro, a, b, c) is macro(a) macro(b) macro(c).
#define LLM_FOR_EACH(macro, ...) __VA_OPT__(LLM_EXPAND(LLM_FOR_EACH_STEP(macro, __VA_ARGS__)))
#define LLM_FOR_EACH_STEP(macro, first, ...) macro(first) __VA_OPT__(LLM_FOR_EACH_AGAIN LLM_PARENS(macro, __VA_ARGS__))
#define LLM_FOR_EACH_AGAIN() LLM_FOR_EACH_STEP
#define LLM_PARENS ()
#define LLM_EXPAND(...) LLM_EXPAND3(LLM_EXPAND3(LLM_EXPAND3(__VA_ARGS__)))
#define LLM_EXPAND3(...) LLM_EXPAND2(LLM_EXPAND2(LLM_EXPAND2(__VA_ARGS__)))
#define LLM_EXPAND2(...) LLM_EXPAND1(LLM_EXPAND1(LLM_EXPAND1(__VA_ARGS__)))
#define LLM_EXPAND1(...) __VA_ARGS__

// The type-erased entry of a body: `bound` holds one borrowed reference per
// parameter, in order; `kwargs` the extra-keywords dict or null.
using Invoke = PyObject* (*)(MethodFunction* fn, PyObject* const* bound, PyObject* kwargs);

// What a function's body needs from the binder: its parameters and its entry.
struct Binding {
    const NameField* params;  // parameter names, `self` included
    Py_ssize_t n_params;
    bool var_keywords;        // accepts **kwargs
    Invoke invoke;
};

namespace detail {

template <class Fn>
struct BodyParams;
template <class P>
struct BodyParams<PyObject* (*)(MethodFunction*, const P&)> {
    using type = P;
};

template <auto Body>
PyObject* invoke_body(MethodFunction* fn, PyObject* const* bound, [[maybe_unused]] PyObject* kwargs) {
    using P = typename BodyParams<decltype(Body)>::type;
    return [&]<size_t... I>(std::index_sequence<I...>) {
        if constexpr (P::kVarKeywords) {
            return Body(fn, P{bound[I]..., kwargs});
        } else {
            return Body(fn, P{bound[I]...});
        }
    }(std::make_index_sequence<static_cast<size_t>(P::kCount)>{});
}

}  // namespace detail

// The binding of a body, taken from the parameters struct it receives:
// `.body = bind<computation::compute_metrics>`.
template <auto Body>
inline constexpr Binding bind = {
    detail::BodyParams<decltype(Body)>::type::kNames,
    detail::BodyParams<decltype(Body)>::type::kCount,
    detail::BodyParams<decltype(Body)>::type::kVarKeywords,
    &detail::invoke_body<Body>,
};

// --- default values -------------------------------------------------------------
//
// A default as written in a row: `None`, `Bool(true)`, `Int(1)`,
// `Str("text")` (UTF-8) or `SharedEmptyList`, the one empty list every call
// that omits the argument receives (a list made once per function object,
// as `def f(x=[])` makes one).  A function's defaults are a list of these,
// for its last parameters, in order:
//     .defaults = {None, None, None, SharedEmptyList}
struct DefaultValue {
    enum class Kind { none, boolean, integer, text, shared_empty_list };
    Kind kind = Kind::none;
    long long number = 0;        // boolean, integer
    const char* text = nullptr;  // text
};
inline constexpr DefaultValue None{};
inline constexpr DefaultValue SharedEmptyList{DefaultValue::Kind::shared_empty_list};
constexpr DefaultValue Bool(bool value) { return {DefaultValue::Kind::boolean, value ? 1 : 0}; }
constexpr DefaultValue Int(long long value) { return {DefaultValue::Kind::integer, value}; }
constexpr DefaultValue Str(const char* utf8) { return {DefaultValue::Kind::text, 0, utf8}; }

using Defaults = std::initializer_list<DefaultValue>;

// A function, declared once with designated initialisers, for example
//     {.name = &Constants::__display_table, .body = bind<display_table>}
struct FunctionSpec {
    NameField name;                // __name__
    Binding body;                  // parameters and body
    NameField exact_dict = nullptr;  // a parameter that must be exactly a dict, or none
    Defaults defaults = {};        // __defaults__, for the last parameters; none when empty
};

// The name of parameter `i` of `spec` (borrowed from the table).
inline PyObject* param_name(const FunctionSpec& spec, Py_ssize_t i) { return state().consts.*(spec.body.params[i]); }

// The __name__ of `spec` as a C string.
inline const char* spec_name_text(const FunctionSpec& spec) { return PyUnicode_AsUTF8(state().consts.*spec.name); }

struct MethodFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* param_names;   // tuple of interned parameter names
    PyObject* name;          // __name__
    PyObject* qualname;      // __qualname__, or null until asked for when `locals` gives it
    PyObject* locals;        // "<enclosing qualname>.<locals>." for a function made inside another, or null
    PyObject* module;        // __module__
    PyObject* doc;           // __doc__
    PyObject* defaults;      // __defaults__ (tuple) or null
    PyObject* kwdefaults;    // __kwdefaults__ (dict) or null
    PyObject* annotations;   // __annotations__ (dict), created on demand
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* annotate;      // __annotate__: a callable, None, or null (read as None)
#endif
    PyObject* dict;          // __dict__, created on demand
    PyObject* globals;       // __globals__
    PyObject* scope;         // data shared with the function that created it, or null
    PyObject* code;          // __code__, made when first asked for, or null
    PyObject* weakreflist;
};

inline MethodFunction* as_method_function(PyObject* obj) {
    return reinterpret_cast<MethodFunction*>(obj);
}

}  // namespace llm_metrics
