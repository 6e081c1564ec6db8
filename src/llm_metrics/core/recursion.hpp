// Recursion as a Python frame counts it, and the native stack as the
// interpreter measures it.
//
// Every call of a function of this module is one level of the recursion
// depth a Python frame counts against: the thread state's own count of
// levels left (so that greenlets and fibers, which swap it with the rest of
// the thread state, keep theirs), raising the interpreter's RecursionError
// ("maximum recursion depth exceeded") when none is left, with the headroom
// the interpreter grants code that is handling one.  A chain that re-enters
// the class through the Python code it calls, and the key search, thus end
// where the same code written in Python ends.
//
// Each level also takes native stack (a Python-to-Python call takes none).
// From 3.14 the interpreter's guard (Py_EnterRecursiveCall) compares the
// stack pointer with the thread's stack, or with the bounds a fiber library
// declared.  On 3.13 that guard only counts C levels against a fixed
// allowance, blind to the stack's size, so the module measures what 3.14
// measures: the bounds of the current thread's stack, taken once per thread
// (pthread_getattr_np; for the main thread they follow RLIMIT_STACK as it
// was then), compared with the stack pointer on entry, with a margin kept
// for the Python code run between two entries and for raising the error.
// A stack pointer outside those bounds is on a stack the thread switched to
// (a fiber): the check stands aside there, as nothing describes that stack.
//
// This file is the one place the module touches a field of PyThreadState.
#pragma once

#include <Python.h>

#include <cstdint>

namespace llm_metrics {

namespace detail {

// The levels left to the Python code of this thread state (its public field,
// the same on 3.13, 3.14 and 3.15).
inline int& python_levels_left(PyThreadState* ts) { return ts->py_recursion_remaining; }

// The level just taken went past the limit: RecursionError as the
// interpreter raises it, or 0 while the headroom lets code handling one go on.
int python_depth_exceeded(PyThreadState* ts);

#if PY_VERSION_HEX < 0x030E0000
// The lowest stack address this thread may reach before a level is refused;
// UINTPTR_MAX until the thread's bounds are read.  (Stacks grow downwards on
// every platform the module is built for.)
extern constinit thread_local std::uintptr_t stack_floor __attribute__((tls_model("initial-exec")));

// Below the floor (or not yet read): reads the bounds when not yet read;
// RecursionError when `here` is on the thread's own stack under the floor.
int native_stack_exhausted(std::uintptr_t here);
#endif

}  // namespace detail

// Takes one level for a call about to run on `ts` (the current thread
// state): 0, or -1 with RecursionError set and nothing taken.
__attribute__((always_inline)) inline int enter_level(PyThreadState* ts) {
    if (detail::python_levels_left(ts)-- <= 0 && detail::python_depth_exceeded(ts) < 0) {
        ++detail::python_levels_left(ts);
        return -1;
    }
#if PY_VERSION_HEX >= 0x030E0000
    if (Py_EnterRecursiveCall("") != 0) {
        ++detail::python_levels_left(ts);
        return -1;
    }
#else
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here < detail::stack_floor && detail::native_stack_exhausted(here) < 0) {
        ++detail::python_levels_left(ts);
        return -1;
    }
#endif
    return 0;
}

// Gives back the level `enter_level(ts)` took.
__attribute__((always_inline)) inline void leave_level(PyThreadState* ts) {
#if PY_VERSION_HEX >= 0x030E0000
    Py_LeaveRecursiveCall();
#endif
    ++detail::python_levels_left(ts);
}

}  // namespace llm_metrics
