#include "core/native_stack.hpp"

#include <pthread.h>

// The wheels promise glibc 2.5 on x86_64 (manylinux1) and 2.17 on aarch64
// (manylinux2014), the oldest of each.  Linked against a newer glibc,
// these two would take their newest versions (2.32, 2.34: moved into libc);
// the first versions, still exported, do the same work.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

#include <algorithm>
#include <cstddef>

#include "core/constants.hpp"

namespace llm_metrics {

namespace {

// What is kept free below the floor.  Native stack per level of each
// re-entrant path, measured on 3.13 (release build / AddressSanitizer):
// host table listing again 1.8 / 6.9 KB, metrics manager 1.7 / 3.6 KB,
// custom evaluator 1.1 / 2.8 KB, validate_type 0.9 / 1.7 KB, robustness
// display 0.8 / 1.4 KB.  The margin is far larger than a level, because
// the Python code a level runs may call C code that takes stack of its own
// (formatting, printing, a table library) before the next method is
// entered, and raising and reporting the error takes some too.  A thread
// whose whole stack is small keeps a quarter of it.
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

// A floor that never refuses: the bounds of this thread's stack are unknown.
constexpr std::uintptr_t kNoFloor = 0;

std::uintptr_t read_floor() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return kNoFloor;
    }
    void* low = nullptr;
    std::size_t size = 0;
    const int got = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (got != 0 || low == nullptr || size == 0) {
        return kNoFloor;
    }
    return reinterpret_cast<std::uintptr_t>(low) + std::min(kMargin, size / 4);
}

}  // namespace

constinit thread_local std::uintptr_t native_stack_floor __attribute__((tls_model("initial-exec"))) = UINTPTR_MAX;

int check_native_stack_slow(std::uintptr_t here) {
    if (native_stack_floor == UINTPTR_MAX) {
        native_stack_floor = read_floor();
        if (here >= native_stack_floor) {
            return 0;
        }
    }
    PyErr_Format(PyExc_RecursionError, "%s%s", kRecursionErrorText, kWhileCallingText);
    return -1;
}

}  // namespace llm_metrics
