/* Test-only allocation-failure injector for the llm_metrics extension.
 *
 * Wraps the RAW, MEM and OBJ allocators of the interpreter (PyMem_SetAllocator,
 * chaining to the allocators found there).  While armed, every allocation made
 * on the arming thread is attributed by walking the native stack outwards from
 * the allocator: frames of this helper and of the interpreter are passed over,
 * and the allocation counts as the module's when the first other frame belongs
 * to the target shared object and no frame of the bytecode interpreter
 * (_PyEval_EvalFrameDefault) lies between.  Allocations made by Python code
 * that the module calls, or by other extension modules, are therefore not
 * counted.  The Nth counted allocation fails (returns NULL); every other one
 * goes through.
 *
 * Everything the hook needs (address ranges, the unwinder) is set up by
 * prepare(), so the hook itself allocates nothing.  ALLOC_FAULT_TRACE=1 writes
 * the native stack of each failed allocation to stderr.
 *
 *     prepare(path, excluded)
 *                          load (dlopen) the target and learn the address
 *                          ranges; allocations under the interpreter functions
 *                          named in `excluded` (exported, or in the file's full
 *                          symbol table) are not counted
 *     arm(n)               count the target's allocations; fail the nth (0: none)
 *     disarm() -> (count, failed, site)
 *                          counted allocations, whether one failed, and the
 *                          offset in the target of the frame that requested it
 */
#define _GNU_SOURCE
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unwind.h>

#define MAX_RANGES 8
#define MAX_FRAMES 160

typedef struct {
    uintptr_t lo[MAX_RANGES];
    uintptr_t hi[MAX_RANGES];
    int n;
    uintptr_t base; /* load address of the object */
} Ranges;

static Ranges interpreter_code; /* libpython, or the executable when it is linked in */
static Ranges own_code;
static Ranges target_code;
static uintptr_t eval_lo, eval_hi; /* _PyEval_EvalFrameDefault */
/* Interpreter functions whose own failure paths are faulty in the running
 * version: allocations under them are left alone. */
#define MAX_EXCLUDED 8
static uintptr_t excluded_lo[MAX_EXCLUDED], excluded_hi[MAX_EXCLUDED];
static int n_excluded;
static int prepared;

static atomic_int armed;
static pthread_t armed_thread;
static long long counted;
static long long fail_at;
static int failed;
static uintptr_t failed_site;
static __thread int in_hook;
static int trace_fd = -1; /* where the stack of the failed allocation is written, if anywhere */

/* --- address ranges ------------------------------------------------------- */

struct RangeQuery {
    uintptr_t addr;
    Ranges *out;
    int found;
};

static int collect_object(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    struct RangeQuery *q = data;
    int contains = 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD) {
            continue;
        }
        uintptr_t lo = info->dlpi_addr + ph->p_vaddr;
        if (q->addr >= lo && q->addr < lo + ph->p_memsz) {
            contains = 1;
        }
    }
    if (!contains) {
        return 0;
    }
    q->out->n = 0;
    q->out->base = info->dlpi_addr;
    for (int i = 0; i < info->dlpi_phnum && q->out->n < MAX_RANGES; i++) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type == PT_LOAD && (ph->p_flags & PF_X)) {
            q->out->lo[q->out->n] = info->dlpi_addr + ph->p_vaddr;
            q->out->hi[q->out->n] = info->dlpi_addr + ph->p_vaddr + ph->p_memsz;
            q->out->n++;
        }
    }
    q->found = 1;
    return 1;
}

static int ranges_of(const void *addr, Ranges *out) {
    struct RangeQuery q = {(uintptr_t)addr, out, 0};
    dl_iterate_phdr(collect_object, &q);
    return q.found && out->n > 0;
}

static inline int in_ranges(const Ranges *r, uintptr_t pc) {
    for (int i = 0; i < r->n; i++) {
        if (pc >= r->lo[i] && pc < r->hi[i]) {
            return 1;
        }
    }
    return 0;
}

/* --- attribution ---------------------------------------------------------- */

/* The walk outwards from the allocator, one frame at a time; it stops as
 * soon as the frame that decides is found. */
struct Walk {
    int depth;
    int ours;       /* the target's allocation */
    uintptr_t site; /* then: offset in the target of the requesting frame */
};

static _Unwind_Reason_Code visit_frame(struct _Unwind_Context *context, void *arg) {
    struct Walk *walk = arg;
    uintptr_t ip = _Unwind_GetIP(context);
    if (ip == 0 || ++walk->depth > MAX_FRAMES) {
        return _URC_END_OF_STACK;
    }
    uintptr_t pc = ip - 1; /* inside the call instruction */
    if (in_ranges(&own_code, pc)) {
        return _URC_NO_REASON;
    }
    if (in_ranges(&interpreter_code, pc)) {
        if (pc >= eval_lo && pc < eval_hi) {
            return _URC_END_OF_STACK; /* Python code runs between: the interpreter's allocation */
        }
        for (int k = 0; k < n_excluded; k++) {
            if (pc >= excluded_lo[k] && pc < excluded_hi[k]) {
                return _URC_END_OF_STACK;
            }
        }
        return _URC_NO_REASON;
    }
    if (in_ranges(&target_code, pc)) {
        walk->ours = 1;
        walk->site = pc - target_code.base;
    }
    return _URC_END_OF_STACK; /* the target, or another library */
}

/* 1 when the allocation being made was requested by the target's own code:
 * `*site` is then the offset in the target of the requesting frame. */
static int requested_by_target(uintptr_t *site) {
    struct Walk walk = {0, 0, 0};
    _Unwind_Backtrace(visit_frame, &walk);
    *site = walk.site;
    return walk.ours;
}

/* Whether this allocation is to fail. */
static int should_fail(void) {
    /* The thread first: other threads never touch the thread-local flag. */
    if (!atomic_load_explicit(&armed, memory_order_acquire) || !pthread_equal(pthread_self(), armed_thread) ||
        in_hook) {
        return 0;
    }
    in_hook = 1;
    uintptr_t site = 0;
    int fail = 0;
    if (requested_by_target(&site)) {
        counted++;
        if (counted == fail_at) {
            failed = 1;
            failed_site = site;
            fail = 1;
            if (trace_fd >= 0) {
                void *frames[MAX_FRAMES];
                backtrace_symbols_fd(frames, backtrace(frames, MAX_FRAMES), trace_fd);
            }
        }
    }
    in_hook = 0;
    return fail;
}

/* --- the allocator wrappers ----------------------------------------------- */

static const PyMemAllocatorDomain domains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
static PyMemAllocatorEx previous[3];
static int installed[3];

static void *hook_malloc(void *ctx, size_t size) {
    PyMemAllocatorEx *prev = ctx;
    return should_fail() ? NULL : prev->malloc(prev->ctx, size);
}

static void *hook_calloc(void *ctx, size_t nelem, size_t elsize) {
    PyMemAllocatorEx *prev = ctx;
    return should_fail() ? NULL : prev->calloc(prev->ctx, nelem, elsize);
}

static void *hook_realloc(void *ctx, void *ptr, size_t size) {
    PyMemAllocatorEx *prev = ctx;
    return should_fail() ? NULL : prev->realloc(prev->ctx, ptr, size);
}

static void hook_free(void *ctx, void *ptr) {
    PyMemAllocatorEx *prev = ctx;
    prev->free(prev->ctx, ptr);
}

static void install(void) {
    for (int d = 0; d < 3; d++) {
        if (installed[d]) {
            continue;
        }
        PyMem_GetAllocator(domains[d], &previous[d]);
        PyMemAllocatorEx hook = {&previous[d], hook_malloc, hook_calloc, hook_realloc, hook_free};
        PyMem_SetAllocator(domains[d], &hook);
        installed[d] = 1;
    }
}

/* Puts the previous allocators back where nobody has wrapped ours since. */
static void uninstall(void) {
    for (int d = 0; d < 3; d++) {
        if (!installed[d]) {
            continue;
        }
        PyMemAllocatorEx current;
        PyMem_GetAllocator(domains[d], &current);
        if (current.malloc == hook_malloc && current.ctx == &previous[d]) {
            PyMem_SetAllocator(domains[d], &previous[d]);
            installed[d] = 0;
        }
    }
}

/* --- Python interface ------------------------------------------------------ */

/* [lo, hi) of the function `name` of the interpreter, looked up in the full
 * symbol table (.symtab) of its file, for functions that are not exported. */
static int local_function_range(const char *name, uintptr_t *lo, uintptr_t *hi) {
    Dl_info info;
    void *setter = dlsym(RTLD_DEFAULT, "PyMem_SetAllocator");
    if (setter == NULL || !dladdr(setter, &info) || info.dli_fname == NULL) {
        return 0;
    }
    int fd = open(info.dli_fname[0] ? info.dli_fname : "/proc/self/exe", O_RDONLY);
    if (fd < 0) {
        return 0;
    }
    struct stat st;
    int found = 0;
    if (fstat(fd, &st) == 0 && (size_t)st.st_size > sizeof(ElfW(Ehdr))) {
        const unsigned char *file = mmap(NULL, st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (file != MAP_FAILED) {
            const ElfW(Ehdr) *eh = (const ElfW(Ehdr) *)file;
            const ElfW(Shdr) *sections = (const ElfW(Shdr) *)(file + eh->e_shoff);
            for (int i = 0; i < eh->e_shnum && !found; i++) {
                if (sections[i].sh_type != SHT_SYMTAB) {
                    continue;
                }
                const ElfW(Sym) *syms = (const ElfW(Sym) *)(file + sections[i].sh_offset);
                const char *strings = (const char *)(file + sections[sections[i].sh_link].sh_offset);
                size_t n = sections[i].sh_size / sizeof(ElfW(Sym));
                for (size_t k = 0; k < n; k++) {
                    if (ELF64_ST_TYPE(syms[k].st_info) == STT_FUNC && syms[k].st_size > 0 &&
                        strcmp(strings + syms[k].st_name, name) == 0) {
                        /* Relative to the load address of the object that holds PyMem_SetAllocator. */
                        *lo = interpreter_code.base + syms[k].st_value;
                        *hi = *lo + syms[k].st_size;
                        found = 1;
                        break;
                    }
                }
            }
            munmap((void *)file, st.st_size);
        }
    }
    close(fd);
    return found;
}

/* [lo, hi) of the interpreter's function `name`; 0 when it is not found. */
static int function_range(const char *name, uintptr_t *lo, uintptr_t *hi) {
    void *addr = dlsym(RTLD_DEFAULT, name);
    Dl_info info;
    const ElfW(Sym) *sym = NULL;
    if (addr == NULL || !dladdr1(addr, &info, (void **)&sym, RTLD_DL_SYMENT) || sym == NULL || sym->st_size == 0) {
        return local_function_range(name, lo, hi);
    }
    *lo = (uintptr_t)addr;
    *hi = *lo + sym->st_size;
    return 1;
}

static PyObject *prepare(PyObject *self, PyObject *args) {
    (void)self;
    const char *path;
    PyObject *excluded;
    if (!PyArg_ParseTuple(args, "sO!", &path, &PyTuple_Type, &excluded)) {
        return NULL;
    }
    if (atomic_load(&armed)) {
        PyErr_SetString(PyExc_RuntimeError, "armed");
        return NULL;
    }
    void *setter = dlsym(RTLD_DEFAULT, "PyMem_SetAllocator");
    if (setter == NULL || !ranges_of(setter, &interpreter_code) || !ranges_of((void *)&should_fail, &own_code)) {
        PyErr_SetString(PyExc_OSError, "cannot find the code of the interpreter or of the injector");
        return NULL;
    }
    if (!function_range("_PyEval_EvalFrameDefault", &eval_lo, &eval_hi)) {
        PyErr_SetString(PyExc_OSError, "the interpreter does not export _PyEval_EvalFrameDefault with its size");
        return NULL;
    }
    n_excluded = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(excluded) && n_excluded < MAX_EXCLUDED; i++) {
        const char *name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(excluded, i));
        if (name == NULL) {
            return NULL;
        }
        if (!function_range(name, &excluded_lo[n_excluded], &excluded_hi[n_excluded])) {
            PyErr_Format(PyExc_OSError, "no function %s in the interpreter's symbol tables", name);
            return NULL;
        }
        n_excluded++;
    }
    /* The same flags as the import system, so that its dlopen finds this one. */
    void *handle = dlopen(path, RTLD_NOW);
    if (handle == NULL) {
        PyErr_Format(PyExc_OSError, "dlopen(%s): %s", path, dlerror());
        return NULL;
    }
    void *init = dlsym(handle, "PyInit_llm_metrics");
    if (init == NULL || !ranges_of(init, &target_code)) {
        PyErr_Format(PyExc_OSError, "%s has no PyInit_llm_metrics", path);
        return NULL;
    }
    /* ALLOC_FAULT_TRACE=1: the native stack of each failed allocation on stderr. */
    const char *trace = getenv("ALLOC_FAULT_TRACE");
    trace_fd = trace != NULL && trace[0] == '1' ? 2 : -1;
    /* The unwinder loads and sets itself up on first use: not inside a hook. */
    void *frames[4];
    backtrace(frames, 4);
    uintptr_t site;
    requested_by_target(&site);
    prepared = 1;
    return PyLong_FromSize_t((size_t)target_code.base);
}

static PyObject *arm(PyObject *self, PyObject *arg) {
    (void)self;
    long long n = PyLong_AsLongLong(arg);
    if (n == -1 && PyErr_Occurred()) {
        return NULL;
    }
    if (!prepared) {
        PyErr_SetString(PyExc_RuntimeError, "prepare() first");
        return NULL;
    }
    if (atomic_load(&armed)) {
        PyErr_SetString(PyExc_RuntimeError, "already armed");
        return NULL;
    }
    install();
    counted = 0;
    fail_at = n;
    failed = 0;
    failed_site = 0;
    armed_thread = pthread_self();
    atomic_store_explicit(&armed, 1, memory_order_release);
    return PyLong_FromLong(0);
}

static PyObject *disarm(PyObject *self, PyObject *unused) {
    (void)self;
    (void)unused;
    atomic_store_explicit(&armed, 0, memory_order_release);
    uninstall();
    return Py_BuildValue("(LiK)", counted, failed, (unsigned long long)failed_site);
}

static PyMethodDef methods[] = {
    {"prepare", prepare, METH_VARARGS,
     "prepare(path, excluded): load the target and learn the address ranges; allocations under the\n"
     "interpreter functions named in the tuple `excluded` are not counted"},
    {"arm", arm, METH_O, "arm(n): count the target's allocations and fail the nth (0: none)"},
    {"disarm", disarm, METH_NOARGS, "disarm() -> (count, failed, site)"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_alloc_fault", "Allocation-failure injection for the llm_metrics tests.", -1, methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__alloc_fault(void) { return PyModule_Create(&module); }
