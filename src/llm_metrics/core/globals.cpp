#include "core/globals.hpp"

#include <cstdint>
#include <utility>

#include "core/attrs.hpp"
#include "core/state.hpp"

namespace llm_metrics {

namespace {

using Entry = LookupCache::Entry;
using Change = LookupCache::Change;

// Whether the change recorded as made by `frame` at instruction `lasti` may
// still be in progress: that frame is on a thread's stack, still at that
// instruction.  A change made without a Python frame is taken as in
// progress until its record is overwritten.  Runs no Python code (the
// frames are alive on their stacks, so releasing them frees nothing); the
// caller has no exception set.
bool in_progress(const void* frame, int lasti) {
    if (frame == nullptr) {
        return true;
    }
    bool found = false;
    for (PyThreadState* t = PyInterpreterState_ThreadHead(PyInterpreterState_Get()); t != nullptr && !found;
         t = PyThreadState_Next(t)) {
        PyFrameObject* f = PyThreadState_GetFrame(t);
        while (f != nullptr) {
            found = found || (f == frame && PyFrame_GetLasti(f) == lasti);
            PyFrameObject* back = PyFrame_GetBack(f);
            Py_DECREF(f);
            f = back;
        }
    }
    // A frame object that could not be made (no memory) hid the rest of a
    // stack: assume the worst.
    const bool failed = PyErr_Occurred() != nullptr;
    PyErr_Clear();
    return found || failed;
}

// The dictionary of a record that stands for changes of several.
const char any_dict = 0;

// Any event on any watched dictionary (a change about to be made, a clone,
// the dictionary going away) ends the generation of every entry, and is
// recorded for `changing`.  A record of the same instruction of the same
// frame is made to cover this change too (the two end together; a loop
// takes one record); else a free record is taken, else one whose change
// was made, or made without a frame; else (16 changes in progress at once)
// any.  Runs no Python code (the hash of an exact str is computed in C and
// cannot fail; taking frames may only allocate), releases nothing and never
// fails; an exception set when it is called stays set.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) {
    LookupCache& cache = state().lookups;
    constexpr size_t none = LookupCache::kChanges;
    ++cache.generation;
    const bool keyed = (event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED) &&
                       PyUnicode_CheckExact(key);
    PyObject* exc = PyErr_GetRaisedException();
    PyFrameObject* frame = PyEval_GetFrame();  // compared, never kept
    const int lasti = frame != nullptr ? PyFrame_GetLasti(frame) : -1;
    Change change{dict, keyed ? PyObject_Hash(key) : -1, keyed ? new_value : nullptr, !keyed, frame, lasti};
    size_t slot = none;
    for (size_t i = 0; i < none && slot == none; ++i) {
        const Change& c = cache.changes[i];
        slot = c.dict != nullptr && frame != nullptr && c.frame == frame && c.lasti == lasti ? i : slot;
    }
    if (slot != none) {
        const void* merged = cache.changes[slot].dict == dict ? static_cast<const void*>(dict) : &any_dict;
        change = Change{merged, -1, nullptr, true, frame, lasti};
    }
    for (size_t i = 0; i < none && slot == none; ++i) {
        slot = cache.changes[i].dict == nullptr ? i : slot;
    }
    for (size_t i = 0; i < none && slot == none; ++i) {
        const Change& c = cache.changes[i];
        slot = c.frame == nullptr || !in_progress(c.frame, c.lasti) ? i : slot;
    }
    slot = slot != none ? slot : cache.next_change++ % none;
    cache.changes[slot] = change;
    PyErr_SetRaisedException(exc);  // (PyEval_GetFrame and in_progress clear their own errors)
    return 0;
}

// Whether a recorded change of `dict` may be about to replace `found`, the
// value (or null: the absence) just read for a key of hash `hash`: Python
// code run by a later watcher, or by the unraisable hook of a failing one,
// reads the dictionary before the change is made.  A change made leaves its
// new value, which is allowed, and frees its record once its frame moved
// on; a change of another key of the same hash only costs a lookup.
bool changing(LookupCache& cache, const void* dict, Py_hash_t hash, const void* found) {
    for (Change& change : cache.changes) {
        if ((change.dict == dict || change.dict == &any_dict) &&
            (change.whole || (change.hash == hash && change.value != found))) {
            if (in_progress(change.frame, change.lasti)) {
                return true;
            }
            change = Change{};
        }
    }
    return false;
}

Entry& slot_of(LookupCache& cache, PyObject* dict, PyObject* name) {
    const auto hash = (reinterpret_cast<uintptr_t>(name) >> 4) ^ (reinterpret_cast<uintptr_t>(dict) >> 6);
    return cache.entries[hash & (LookupCache::kEntries - 1)];
}

// The value cached for `name` looked up first in `dict` (as a global, or
// as a module attribute), or empty.
Ref cached(PyObject* dict, PyObject* name, bool global) {
    LookupCache& cache = state().lookups;
    const Entry& e = slot_of(cache, dict, name);
    if (e.generation == cache.generation && e.dict == dict && e.name == name && e.global == global) {
        return Ref::borrow(e.value);
    }
    return {};
}

// Stores `value`, read from watched dictionaries while generation
// `generation` lasted, if it still lasts and no change recorded in it may
// replace what was read: `value` in `dict`, or (`builtins` not null) the
// absence of the name in `dict` and `value` in `builtins`.
void store(PyObject* dict, PyObject* name, PyObject* value, bool global, PyObject* builtins, uint64_t generation) {
    LookupCache& cache = state().lookups;
    if (cache.watcher_id < 0 || generation != cache.generation) {
        return;
    }
    const Py_hash_t hash = PyObject_Hash(name);  // an exact str: cached, no Python code
    if (builtins == nullptr ? changing(cache, dict, hash, value)
                            : changing(cache, dict, hash, nullptr) || changing(cache, builtins, hash, value)) {
        return;
    }
    // The entries of ended generations are released here (a safe point),
    // together with the one overwritten: last, since a finalizer may run
    // Python code, which may store again.
    PyObject* released[LookupCache::kEntries + 1];
    size_t count = 0;
    for (Entry& e : cache.entries) {
        if (e.value != nullptr && e.generation != generation) {
            released[count++] = std::exchange(e, Entry{}).value;
        }
    }
    Entry& slot = slot_of(cache, dict, name);
    released[count++] = slot.value;
    slot = Entry{dict, name, Py_NewRef(value), global, generation};
    for (size_t i = 0; i < count; ++i) {
        Py_XDECREF(released[i]);
    }
}

}  // namespace

int watch_globals() {
    State& s = state();
    LookupCache& cache = s.lookups;
    // What a function defined by a module executed here would see.
    Py_XSETREF(cache.builtins_dict, Py_XNewRef(PyEval_GetBuiltins()));
    if (cache.watcher_id < 0) {
        const int id = PyDict_AddWatcher(on_dict_event);
        if (id < 0) {
            PyErr_Clear();  // every id taken: look up every time
            return 0;
        }
        cache.watcher_id = id;
    }
    // Every initialisation watches its own globals: a failed one's went with its module.
    return PyDict_Watch(cache.watcher_id, s.globals) < 0 || PyDict_Watch(cache.watcher_id, cache.builtins_dict) < 0 ? -1 : 0;
}

void release_lookups() {
    LookupCache& cache = state().lookups;
    ++cache.generation;
    Entry old[LookupCache::kEntries];
    for (size_t i = 0; i < LookupCache::kEntries; ++i) {
        old[i] = std::exchange(cache.entries[i], Entry{});
    }
    // Finalizers run from here on, with the caller's exception put aside.
    PyObject* exc = PyErr_GetRaisedException();
    for (Entry& e : old) {
        Py_XDECREF(e.value);
    }
    PyErr_SetRaisedException(exc);
}

Ref lookup_global(PyObject* name) {
    State& s = state();
    if (Ref value = cached(s.globals, name, true)) {
        return value;
    }
    const uint64_t generation = s.lookups.generation;
    Ref value;
    if (s.globals != nullptr) {
        const int found = PyDict_GetItemRef(s.globals, name, value.put());
        if (found > 0) {
            store(s.globals, name, value.get(), true, nullptr, generation);
        }
        if (found != 0) {
            return value;  // found, or an error is set
        }
    }
    // The builtins as a function body sees them: the dictionary itself,
    // whatever the class of the builtins module or its __getattr__.
    Ref builtins = Ref::borrow(s.lookups.builtins_dict);
    if (builtins) {
        const int found = PyDict_GetItemRef(builtins.get(), name, value.put());
        if (found > 0 && s.globals != nullptr) {
            store(s.globals, name, value.get(), true, builtins.get(), generation);
        }
        if (found != 0) {
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
    PyObject* dict = PyModule_GetDict(module);  // the caller holds the module, the module its dictionary
    if (Ref value = cached(dict, name, false)) {
        return value;
    }
    LookupCache& cache = state().lookups;
    const uint64_t generation = cache.generation;
    // Neither ModuleType nor object has an attribute of such a name, so a
    // module's own dictionary answers first; the module __getattr__ and
    // the error come from the module itself.  Watched before the read (the watch
    // cannot fail: a module's own dictionary, the watcher's own id), so
    // that any change made after it ends the generation.
    Ref value;
    const int found = cache.watcher_id >= 0 && PyDict_Watch(cache.watcher_id, dict) < 0 ? -1 : PyDict_GetItemRef(dict, name, value.put());
    if (found == 0) {
        return Ref::steal(get_attr(module, name));
    }
    if (found > 0) {
        store(dict, name, value.get(), false, nullptr, generation);
    }
    return value;  // found, or an error is set
}

}  // namespace llm_metrics
