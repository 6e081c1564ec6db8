// Module globals as the methods' bodies read them, and attributes of
// modules, both cached exactly.
//
// A value found in a module's dictionary stays cached until that
// dictionary, the module globals or the builtins change in any way: one
// dict watcher (PyDict_AddWatcher) watches them all and ends the generation
// of every entry before the change is made, whoever makes it, including
// Python code that a method itself calls halfway through.  Without a free
// watcher id the lookups are made every time, with the same results.
//
// The rule: no cache holds a borrowed pointer to a value it does not own.
// An entry holds a strong reference to its value; the dictionary it is
// keyed on is only compared (core/state.hpp says why that is safe).
// Entries of ended generations are released at the next store or by
// `release_lookups`, never in the watcher callback, which only counts and
// records (it runs no Python code and never fails).  So a missed
// invalidation can at worst be a stale value, never a freed one.
//
// What the cache assumes, each with the test (tests/robustness/
// test_lookup_cache.py) that breaks it, run against the plain-Python class:
//
// * One successful initialisation: the globals are those of the module
//   that initialised; an initialisation that fails releases every entry,
//   and the next one watches its own globals even though the watcher
//   exists (test_import_retried_after_a_failure).
// * Watched dictionaries and from when: the module globals and the builtins
//   dictionary that a function of the module sees (the current frame's at
//   initialisation, read as a dictionary whatever the class of the
//   builtins module) from the start of the module body; a module's
//   dictionary from before the read whose value is stored
//   (test_builtins_module_class_swapped,
//   test_watched_dict_changed_while_a_method_runs).
// * Watcher order: another watcher may run before or after this one, and
//   the change is made only after all of them (test_foreign_watcher_calls_the_class).
// * Python code during an event: a watcher after this one, or the
//   unraisable hook a failing one calls, may call a method while the old
//   value is still in the dictionary, in this thread or (releasing the GIL)
//   in another.  The callback records each change: the dictionary, the key
//   (when an exact str) and its new value, or the whole dictionary when
//   cleared, cloned, going away or keyed otherwise, and the innermost
//   Python frame with its instruction.  A value read while a recorded
//   change of that dictionary and key may be in progress (its frame is on
//   a thread's stack, still at that instruction; or it had no Python frame)
//   is not stored unless it is the new value
//   (test_foreign_watcher_calls_the_class: after this one, before it,
//   failing, calling from another thread, a change made without a frame).
//   16 records are kept: a change joins the record of the same frame and
//   instruction (a loop takes one), else takes a free record, else one
//   whose change was made or was made without a frame (test
//   ...[making more changes than the module records]).  So a record can be
//   lost while its change is in progress only with 16 changes in progress
//   at once (nested inside each other, each through a watcher running
//   Python code), or for a change made without a Python frame while the
//   table is full: then a stale value, never a freed one.  No test reaches
//   those.
// * Dictionaries are keys, not owned: each is watched before the read, so
//   its deallocation ends the generation before its address can be reused
//   (test_watched_dict_changed_while_a_method_runs[deallocated],
//   test_values_read_from_a_freed_module_are_released).
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics {

// Starts the watcher (once per process) and watches the module globals and
// the builtins of this initialisation.  A missing watcher id is not an
// error: the lookups are then not cached.  -1 with an exception set on
// failure.
int watch_globals();

// Releases every entry (a failed initialisation: the next one starts with
// an empty cache).  May run Python code (finalizers of released values);
// the current exception is kept.  The state holds the module for the life
// of the process, so no module teardown runs: what the entries keep (at
// most 64 values, of the current generation after any store) is kept
// until then.
void release_lookups();

// Module-level name lookup as a function body does it: the module globals,
// then the builtins dictionary; NameError "name '...' is not defined" when
// absent.  `name` is an interned str of the table.
Ref lookup_global(PyObject* name);

// `module.<name>` (`name` an interned str of the table), cached while the
// module is exactly a module and its dictionary has the name.
Ref module_attr(PyObject* module, PyObject* name);

}  // namespace llm_metrics
