#include "core/globals.hpp"

#include <cstdint>

#include "core/attrs.hpp"
#include "core/state.hpp"

namespace llm_metrics {

namespace {

using Entry = LookupCache::Entry;

// Any event on any watched dictionary (a change about to be made, a clone,
// the dictionary going away) ends the generation of every entry.  Runs no
// Python code and never fails.
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++state().lookups.generation;
    return 0;
}

Entry& slot_of(LookupCache& cache, PyObject* dict, PyObject* name) {
    const auto hash = (reinterpret_cast<uintptr_t>(name) >> 4) ^ (reinterpret_cast<uintptr_t>(dict) >> 6);
    return cache.entries[hash & (LookupCache::kEntries - 1)];
}

// The cached value of `name` looked up first in `dict`, or null.  `module`
// is the module the entry must have been found through, or null for the
// globals (whose entries may have been found in the builtins, which the
// state holds).
PyObject* cached(PyObject* dict, PyObject* name, PyObject* module) {
    LookupCache& cache = state().lookups;
    const Entry& e = slot_of(cache, dict, name);
    if (e.generation != cache.generation || e.dict != dict || e.name != name) {
        return nullptr;
    }
    if (module != nullptr && e.module != module) {
        return nullptr;
    }
    if (e.module != nullptr && !PyModule_CheckExact(e.module)) {
        return nullptr;  // its class was reassigned: look it up as such
    }
    return e.value;
}

// Stores `value`, found in a watched dictionary while generation
// `generation` lasted, if it still lasts.
void store(PyObject* dict, PyObject* name, PyObject* value, PyObject* module, uint64_t generation) {
    LookupCache& cache = state().lookups;
    if (cache.watcher_id >= 0 && generation == cache.generation) {
        slot_of(cache, dict, name) = Entry{dict, name, value, module, generation};
    }
}

}  // namespace

int watch_globals() {
    State& s = state();
    if (s.lookups.watcher_id >= 0) {
        return 0;
    }
    const int id = PyDict_AddWatcher(on_dict_event);
    if (id < 0) {
        PyErr_Clear();  // every id taken: look up every time
        return 0;
    }
    s.lookups.watcher_id = id;
    if (PyDict_Watch(id, s.globals) < 0) {
        return -1;
    }
    if (PyModule_CheckExact(s.builtins) && PyDict_Watch(id, PyModule_GetDict(s.builtins)) < 0) {
        return -1;
    }
    return 0;
}

Ref lookup_global(PyObject* name) {
    State& s = state();
    if (PyObject* value = cached(s.globals, name, nullptr)) {
        return Ref::borrow(value);
    }
    const uint64_t generation = s.lookups.generation;
    Ref value;
    if (s.globals != nullptr) {
        const int found = PyDict_GetItemRef(s.globals, name, value.put());
        if (found > 0) {
            store(s.globals, name, value.get(), nullptr, generation);
        }
        if (found != 0) {
            return value;  // found, or an error is set
        }
    }
    if (s.builtins != nullptr) {
        // An exact module finds its attributes in its dictionary (watched
        // since initialisation); anything else is asked as it asks.
        if (PyModule_CheckExact(s.builtins)) {
            const int found = PyDict_GetItemRef(PyModule_GetDict(s.builtins), name, value.put());
            if (found > 0) {
                store(s.globals, name, value.get(), s.builtins, generation);
            }
            if (found != 0) {
                return value;
            }
        }
        if (PyObject_GetOptionalAttr(s.builtins, name, value.put()) != 0) {
            return value;
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref module_attr(PyObject* module, PyObject* name) {
    if (!PyModule_CheckExact(module)) {
        return Ref::steal(get_attr(module, name));
    }
    PyObject* dict = PyModule_GetDict(module);
    if (PyObject* value = cached(dict, name, module)) {
        return Ref::borrow(value);
    }
    LookupCache& cache = state().lookups;
    const uint64_t generation = cache.generation;
    // Neither ModuleType nor object has an attribute of such a name, so a
    // module's own dictionary answers first; the module __getattr__ and
    // the error come from the module itself.
    Ref value;
    const int found = PyDict_GetItemRef(dict, name, value.put());
    if (found < 0) {
        return {};
    }
    if (found == 0) {
        return Ref::steal(get_attr(module, name));
    }
    if (cache.watcher_id >= 0 && generation == cache.generation && PyDict_Watch(cache.watcher_id, dict) == 0) {
        store(dict, name, value.get(), module, generation);
    }
    return value;
}

}  // namespace llm_metrics
