// How much native stack the current thread has left.
//
// A method of the class can be re-entered from the Python code it calls (a
// host table whose `list` lists the metrics again, an evaluator that computes
// metrics, a `validate_type`, a metrics manager or a robustness display that
// call back into the class).  On CPython 3.13 a Python-to-Python call costs
// no native stack, and the C-level allowance (Py_EnterRecursiveCall, a
// counter of fixed size) is not tied to the stack's real size, so with
// sys.setrecursionlimit() raised such a chain can outgrow the thread's stack
// before either limit is reached: each level runs the interpreter's loop and
// this module's method natively, one or two kilobytes of stack per level
// (more under AddressSanitizer, whose frames carry red zones).  Every method
// therefore checks, on entry, the stack pointer against the bounds of the
// thread's stack (pthread_getattr_np, read once per thread) and raises
// RecursionError, in the interpreter's words, while a margin is left: enough
// for the error to be raised and unwound, and for the Python code between
// two entries of a method.  A deep chain may thus stop before the recursion
// limit does; it never overflows the stack.  (3.14 measures the real stack
// in Py_EnterRecursiveCall itself; the check here is the same on every
// version.)
#pragma once

#include <Python.h>

#include <cstdint>

namespace llm_metrics {

// The lowest stack address the current thread may reach before a method
// refuses to run, or UINTPTR_MAX before the thread's bounds are read.
// (Stacks grow downwards on every platform the module is built for.)
extern constinit thread_local std::uintptr_t native_stack_floor
    __attribute__((tls_model("initial-exec")));

// Reads the thread's bounds when not yet read; raises RecursionError when
// `here` is below the floor.  0, or -1 with the exception set.
int check_native_stack_slow(std::uintptr_t here);

// 0 when the native stack has room for one more level of a method, -1 with
// RecursionError set when not.
__attribute__((always_inline)) inline int check_native_stack() {
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here >= native_stack_floor ? 0 : check_native_stack_slow(here);
}

}  // namespace llm_metrics
