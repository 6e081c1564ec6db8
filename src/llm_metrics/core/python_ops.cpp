#include "core/python_ops.hpp"

#include <cstdint>

#include "core/module_state.hpp"
#include "core/names.hpp"

namespace llm_metrics {

// --- module-global lookups ----------------------------------------------------
//
// Values found in the module globals are remembered per name, and every entry
// is dropped the moment the globals dictionary changes in any way: a dict
// watcher on it empties the table before the change takes effect.  So a hit
// is always the value the dictionary holds right now, and a rebinding or
// deletion is seen by the very next lookup.  Names found in the builtins are
// not remembered (they go through the builtins module's attribute lookup each
// time, as before).
//
// The table holds strong references.  Releasing them from the watcher cannot
// run any code: while an entry is in the table the globals dictionary still
// maps its name to that value (any change would have emptied the table
// first), and the watcher runs before the change, so the dictionary's own
// reference keeps every released value alive.

namespace {

struct CachedGlobal {
    PyObject* name;   // exact str, strong (so that its address is not reused); compared by identity
    PyObject* value;  // strong, or null when the slot is empty
};

// Open addressing with linear probing; entries are only ever added or all
// dropped together, so a probe ends at the first empty slot.
constexpr size_t kGlobalSlots = 64;
constexpr size_t kMaxCachedGlobals = 48;
CachedGlobal global_cache[kGlobalSlots];
size_t cached_globals = 0;     // slots in use
PyObject* watched_globals = nullptr;  // the dictionary the table mirrors (borrowed from state)
int globals_watcher = -1;
uint64_t globals_events = 0;   // changes of the watched dictionary seen so far

inline size_t global_slot(PyObject* name) {
    const uint64_t bits = reinterpret_cast<uintptr_t>(name) >> 4;
    return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> 58);  // 6 bits: 0..63
}

// The slot holding `name`, or the empty slot where it would go.
inline CachedGlobal& probe(PyObject* name) {
    size_t i = global_slot(name);
    while (global_cache[i].value != nullptr && global_cache[i].name != name) {
        i = (i + 1) % kGlobalSlots;
    }
    return global_cache[i];
}

void drop_cached_globals() {
    if (cached_globals == 0) {
        return;
    }
    for (CachedGlobal& entry : global_cache) {
        if (entry.value != nullptr) {
            PyObject* name = entry.name;
            PyObject* value = entry.value;
            entry.value = nullptr;
            entry.name = nullptr;
            Py_DECREF(value);
            Py_DECREF(name);  // an exact str: freeing it runs no code
        }
    }
    cached_globals = 0;
}

int on_globals_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    if (dict == watched_globals) {
        ++globals_events;
        drop_cached_globals();
    }
    return 0;
}

}  // namespace

void watch_globals(PyObject* globals) {
    unwatch_globals();
    if (globals == nullptr || !PyDict_CheckExact(globals)) {
        return;
    }
    if (globals_watcher < 0) {
        globals_watcher = PyDict_AddWatcher(on_globals_event);
        if (globals_watcher < 0) {
            PyErr_Clear();  // no watcher slot left: every lookup goes to the dictionary
            return;
        }
    }
    if (PyDict_Watch(globals_watcher, globals) < 0) {
        PyErr_Clear();
        return;
    }
    watched_globals = globals;
}

void unwatch_globals() {
    drop_cached_globals();
    if (watched_globals != nullptr) {
        PyObject* exc = PyErr_GetRaisedException();
        if (PyDict_Unwatch(globals_watcher, watched_globals) < 0) {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(exc);
        watched_globals = nullptr;
    }
}

Ref lookup_global(PyObject* name) {
    PyObject* globals = state.globals;
    const bool cacheable = globals != nullptr && globals == watched_globals;
    if (cacheable) {
        const CachedGlobal& entry = probe(name);
        if (entry.value != nullptr) {
            return Ref::borrow(entry.value);
        }
    }
    Ref value;
    if (globals != nullptr) {
        const uint64_t events_before = globals_events;
        const int found = PyDict_GetItemRef(globals, name, value.put());
        if (found != 0) {
            // A lookup among keys of other types can run code (their __eq__)
            // that changes the dictionary; such a result is not remembered.
            if (found > 0 && cacheable && events_before == globals_events && PyUnicode_CheckExact(name) &&
                cached_globals < kMaxCachedGlobals) {
                CachedGlobal& entry = probe(name);
                entry.name = Py_NewRef(name);
                entry.value = Py_NewRef(value.get());
                ++cached_globals;
            }
            return value;  // found, or an error is set
        }
    }
    if (state.builtins != nullptr && PyObject_GetOptionalAttr(state.builtins, name, value.put()) != 0) {
        return value;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

// --- classes ---------------------------------------------------------------------

namespace {

initproc python_init_slot = nullptr;

constexpr const char kCallingWhere[] = " while calling a Python object";

// Runs `call(stack, n)` with `first` placed before the `n_all` vectorcall
// arguments `args`, using the caller's spare slot when it offered one.
template <class Call>
PyObject* with_prepended(PyObject* first, PyObject* const* args, size_t nargsf, Py_ssize_t n_all, Call&& call) {
    if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
        PyObject** slot = const_cast<PyObject**>(args) - 1;
        PyObject* saved = *slot;
        *slot = first;
        PyObject* result = call(slot);
        *slot = saved;
        return result;
    }
    constexpr Py_ssize_t kSmall = 8;
    PyObject* small[kSmall];
    PyObject** stack = small;
    if (n_all + 1 > kSmall) {
        stack = PyMem_New(PyObject*, static_cast<size_t>(n_all + 1));
        if (stack == nullptr) {
            return PyErr_NoMemory();
        }
    }
    stack[0] = first;
    for (Py_ssize_t i = 0; i < n_all; ++i) {
        stack[i + 1] = args[i];
    }
    PyObject* result = call(stack);
    if (stack != small) {
        PyMem_Free(stack);
    }
    return result;
}

// The body of type.__call__ once object.__new__ is known to be the
// constructor: allocate, then what slot_tp_init does.
PyObject* construct_body(PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    // object.__new__: no excess-argument error (the class overrides
    // __init__), not abstract (checked by is_plain_class), allocate.
    Ref obj = Ref::steal(cls->tp_alloc(cls, 0));
    if (!obj) {
        return nullptr;
    }
    // The instance's type is `cls`; its __init__ as slot_tp_init finds it.
    Ref init = Ref::steal(_PyType_LookupRef(cls, names.__init__));
    if (!init) {
        if (!PyErr_Occurred()) {
            PyErr_SetObject(PyExc_AttributeError, names.__init__);
        }
        return nullptr;
    }
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n_all = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    Ref result;
    if (PyType_HasFeature(Py_TYPE(init.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        PyObject* callable = init.get();
        PyObject* self = obj.get();
        result = Ref::steal(with_prepended(self, args, nargsf, n_all, [&](PyObject* const* stack) {
            return PyObject_Vectorcall(callable, stack, static_cast<size_t>(nargs + 1), kwnames);
        }));
    } else {
        descrgetfunc get = Py_TYPE(init.get())->tp_descr_get;
        if (get != nullptr) {
            init = Ref::steal(get(init.get(), obj.get(), reinterpret_cast<PyObject*>(cls)));
            if (!init) {
                return nullptr;
            }
        }
        result = Ref::steal(PyObject_Vectorcall(init.get(), args, static_cast<size_t>(nargs), kwnames));
    }
    if (!result) {
        return nullptr;
    }
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return obj.release();
}

}  // namespace

void note_python_init_slot(initproc slot) { python_init_slot = slot; }

bool is_plain_class(PyObject* callable, vectorcallfunc own_vectorcall) {
    if (Py_TYPE(callable) != &PyType_Type || python_init_slot == nullptr) {
        return false;
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(callable);
    return (cls->tp_vectorcall == nullptr || cls->tp_vectorcall == own_vectorcall) &&
           cls->tp_new == PyBaseObject_Type.tp_new && cls->tp_init == python_init_slot &&
           !PyType_HasFeature(cls, Py_TPFLAGS_IS_ABSTRACT);
}

PyObject* construct(PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    // The generic path enters this level through _PyObject_MakeTpCall.
    if (Py_EnterRecursiveCall(kCallingWhere) != 0) {
        return nullptr;
    }
    PyObject* result = construct_body(cls, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* type_call(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref positional = Ref::steal(PyTuple_New(nargs));
    if (!positional) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    }
    Ref keywords;
    const Py_ssize_t n_kw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (n_kw > 0) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
        for (Py_ssize_t k = 0; k < n_kw; ++k) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) {
                return nullptr;
            }
        }
    }
    if (Py_EnterRecursiveCall(kCallingWhere) != 0) {
        return nullptr;
    }
    PyObject* result = PyType_Type.tp_call(cls, positional.get(), keywords.get());
    Py_LeaveRecursiveCall();
    return result;
}

int import_from(PyObject* module_name, std::initializer_list<PyObject*> attr_names, Ref* out) {
    Ref module = Ref::steal(PyImport_GetModule(module_name));
    if (!module && PyErr_Occurred()) {
        return -1;
    }
    if (module) {
        // Already loaded: use it when it has every name.
        Ref* slot = out;
        for (PyObject* attr : attr_names) {
            if (PyObject_GetOptionalAttr(module.get(), attr, slot->put()) < 0) {
                return -1;
            }
            if (!*slot) {
                module.reset();
                break;
            }
            ++slot;
        }
        if (module) {
            return 0;
        }
    }
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) {
        return -1;
    }
    for (PyObject* attr : attr_names) {
        if (PyList_Append(fromlist.get(), attr) < 0) {
            return -1;
        }
    }
    module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, state.globals, nullptr, fromlist.get(), 0));
    if (!module) {
        return -1;
    }
    Ref* slot = out;
    for (PyObject* attr : attr_names) {
        if (PyObject_GetOptionalAttr(module.get(), attr, slot->put()) < 0) {
            return -1;
        }
        if (!*slot) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", attr, module_name);
            return -1;
        }
        ++slot;
    }
    return 0;
}

PyObject* raise_in_handler(PyObject* exc_type, const char* message) {
    Ref handled = Ref::steal(PyErr_GetRaisedException());
    Ref exc = Ref::steal(PyObject_CallFunction(exc_type, "s", message));
    if (!exc) {
        return nullptr;
    }
    if (handled) {
        PyException_SetContext(exc.get(), handled.release());
    }
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

Ref format_join(std::initializer_list<PyObject*> pieces) {
    Ref texts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!texts) {
        return {};
    }
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) {
        PyObject* text = PyObject_Format(piece, names.empty);
        if (text == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(texts.get(), i++, text);
    }
    return Ref::steal(PyUnicode_Join(names.empty, texts.get()));
}

int print_line(PyObject* text) {
    Ref result = Ref::steal(PyObject_Vectorcall(state.builtin_print, &text, 1, nullptr));
    return result ? 0 : -1;
}

namespace {

// cls(*args, **mapping) through `construct` for a plain class and an exact
// dict with str keys; null without an exception when that does not apply.
PyObject* construct_with_dict(PyObject* cls, PyObject* const* args, size_t nargs, PyObject* mapping) {
    constexpr Py_ssize_t kMaxStack = 16;
    const Py_ssize_t n_kw = PyDict_GET_SIZE(mapping);
    if (static_cast<Py_ssize_t>(nargs) + n_kw > kMaxStack || !is_plain_class(cls)) {
        return nullptr;
    }
    PyObject* stack[kMaxStack];
    for (size_t i = 0; i < nargs; ++i) {
        stack[i] = args[i];
    }
    Ref kwnames = Ref::steal(PyTuple_New(n_kw));
    if (!kwnames) {
        return nullptr;
    }
    // The values, held for the call (code that runs before the callee has
    // bound them, a finalizer during the allocation say, may change the dict).
    Ref values = Ref::steal(PyTuple_New(n_kw));
    if (!values) {
        return nullptr;
    }
    Py_ssize_t pos = 0;
    Py_ssize_t k = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Iterating an exact dict runs no code.
    while (k < n_kw && PyDict_Next(mapping, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            return nullptr;  // the generic path reports it
        }
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        PyTuple_SET_ITEM(values.get(), k, Py_NewRef(value));
        stack[static_cast<Py_ssize_t>(nargs) + k] = value;
        ++k;
    }
    if (k != n_kw) {
        return nullptr;
    }
    return construct(reinterpret_cast<PyTypeObject*>(cls), stack, nargs, n_kw > 0 ? kwnames.get() : nullptr);
}

}  // namespace

Ref call_with_mapping(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) {
        if (is_plain_class(callable)) {
            PyObject* result = construct_with_dict(callable, args, nargs, mapping);
            if (result != nullptr || PyErr_Occurred()) {
                return Ref::steal(result);
            }
        }
        if (PyVectorcall_Function(callable) == nullptr) {
            // tp_call would receive the dict itself; like f(**kwargs), the
            // callee gets a copy, so nothing it does reaches the caller's dict.
            Ref copy = Ref::steal(PyDict_Copy(mapping));
            if (!copy) {
                return {};
            }
            return Ref::steal(PyObject_VectorcallDict(callable, args, nargs, copy.get()));
        }
        return Ref::steal(PyObject_VectorcallDict(callable, args, nargs, mapping));
    }
    // `f(**m)` for any other mapping: the items are copied into a new dict first.
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) {
        return {};
    }
    if (PyDict_Merge(copy.get(), mapping, 1) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                         Py_TYPE(mapping)->tp_name);
        }
        return {};
    }
    return Ref::steal(PyObject_VectorcallDict(callable, args, nargs, copy.get()));
}

}  // namespace llm_metrics
