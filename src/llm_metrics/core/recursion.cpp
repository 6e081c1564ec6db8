#include "core/recursion.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>

// The wheels promise the oldest glibc of their processor (2.5 on x86_64,
// 2.17 on aarch64).  Linked against a newer glibc, these two would take
// their newest versions (2.32, 2.34: moved into libc); the first versions,
// still exported, do the same work.
#if PY_VERSION_HEX < 0x030E0000 && defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif PY_VERSION_HEX < 0x030E0000 && defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace llm_metrics::detail {

namespace {

constexpr const char kDepthExceeded[] = "maximum recursion depth exceeded";

// How far past the limit code handling a RecursionError may go (the
// interpreter's allowance), before the module refuses again rather than
// give up the process as the interpreter would.
constexpr int kHeadroomLevels = 50;

}  // namespace

int python_depth_exceeded(PyThreadState* ts) {
    if (ts->recursion_headroom != 0 && python_levels_left(ts) >= -kHeadroomLevels) {
        return 0;
    }
    ++ts->recursion_headroom;  // creating the error may call functions of its own
    PyErr_SetString(PyExc_RecursionError, kDepthExceeded);
    --ts->recursion_headroom;
    return -1;
}

#if PY_VERSION_HEX < 0x030E0000

namespace {

// What is kept free above the bottom of the stack: the Python code a level
// runs may call C code that takes stack of its own (formatting, printing, a
// table library, an import) before the next method is entered, and raising
// and reporting the error takes some too.  Native stack per level of each
// re-entrant path, measured on 3.13 (release build / AddressSanitizer): host
// table listing again 1.8 / 6.9 KB, metrics manager 1.7 / 3.6 KB, custom
// evaluator 1.1 / 2.8 KB, validate_type 0.9 / 1.7 KB, robustness display
// 0.8 / 1.4 KB.  A thread whose whole stack is small keeps a quarter of it.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kMargin = 2u << 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kMargin = 2u << 20;
#else
constexpr std::size_t kMargin = 512u << 10;
#endif
#else
constexpr std::size_t kMargin = 512u << 10;
#endif

// This thread's stack: [low, high).  Both 0 when the C library cannot tell.
constinit thread_local std::uintptr_t stack_low __attribute__((tls_model("initial-exec"))) = 0;
constinit thread_local std::uintptr_t stack_high __attribute__((tls_model("initial-exec"))) = 0;

void read_bounds() {
    stack_floor = 0;  // a floor that never refuses, unless the bounds are known
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return;
    }
    void* low = nullptr;
    std::size_t size = 0;
    const int got = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (got != 0 || low == nullptr || size == 0) {
        return;
    }
    stack_low = reinterpret_cast<std::uintptr_t>(low);
    stack_high = stack_low + size;
    stack_floor = stack_low + std::min(kMargin, size / 4);
}

}  // namespace

constinit thread_local std::uintptr_t stack_floor __attribute__((tls_model("initial-exec"))) = UINTPTR_MAX;

int native_stack_exhausted(std::uintptr_t here) {
    if (stack_floor == UINTPTR_MAX) {
        read_bounds();
    }
    if (here >= stack_floor || here < stack_low || here >= stack_high) {
        return 0;  // room left, or a stack the thread switched to
    }
    PyErr_SetString(PyExc_RecursionError, kDepthExceeded);
    return -1;
}

#endif

}  // namespace llm_metrics::detail
