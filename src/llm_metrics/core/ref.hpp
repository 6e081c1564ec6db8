// Owned references to Python objects.
//
// `Ref` holds one strong reference and gives it back when it goes out of
// scope, so code paths that bail out on an error never have to remember which
// objects to release.  An empty `Ref` is the conventional "an exception is
// set" result of the helpers in this extension.
//
// The rule for borrowed references
// --------------------------------
// A borrowed pointer (an item of a tuple, list or dict, a function's
// defaults, keyword defaults, annotations or dictionary, a module's globals,
// a type's dictionary, anything a `_GET_ITEM`, `PyDict_Next` or a struct
// field hands out) may be used only until the next operation that can run
// Python code.  Such operations are everywhere:
//
//   * calling anything (including `PyObject_Vectorcall*`, `type(...)`,
//     `__import__`, `print`, `sorted`, iterator `__next__`);
//   * getting, setting or deleting an attribute (properties, `__getattr__`,
//     `__set_name__`, descriptors, module `__getattr__`);
//   * hashing or comparing a key: `PyDict_GetItemRef`, `PyDict_SetItem`,
//     `PyDict_Contains`, `PySequence_Contains`, `PyObject_RichCompare*`
//     with anything but exact str/int keys (a str subclass's `__hash__` and
//     `__eq__` are Python code);
//   * truth tests, `len()`, `str()`, `format()`, `repr()`;
//   * iteration of anything but an exact list, tuple or dict;
//   * any `Py_DECREF` (or `Ref` reset) that may drop the last reference:
//     the finalizers of that object, and of whatever it frees, run there.
//
// Python code can replace or delete anything: a function's `__defaults__`,
// `__kwdefaults__`, `__annotations__` and `__dict__` (from any thread, too),
// class attributes, module globals, the items of the caller's containers.
// So whatever is needed after such an operation is held here, in a `Ref`,
// taken before the operation (`Ref::borrow`).  Decisions taken before such
// an operation (a length, "is this the method I expect?", a cached lookup)
// are taken again after it wherever Python would see the new state; where
// Python reads something once (a function call reads its defaults after
// the keywords are bound; `inspect` reads defaults and annotations once)
// read it once at that same moment and hold what was read.
//
// Exempt, because nothing can free them while the module is loaded: the
// interned names and texts kept for the life of the process, and objects
// the current call already holds (the vectorcall arguments belong to the
// caller until the call returns; the function itself is held by its
// vectorcall).  Allocating does not run Python code in this interpreter
// version: a garbage collection it triggers is deferred to the evaluation
// loop (or to `PyErr_CheckSignals`, which nothing here calls).
#pragma once

#include <Python.h>

#include <utility>

namespace llm_metrics {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(const Ref& other) noexcept {
        if (this != &other) {
            reset(Py_XNewRef(other.ptr_));
        }
        return *this;
    }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.ptr_, nullptr));
        }
        return *this;
    }

    // Takes over a new reference (as returned by most C API calls).
    [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Gives up ownership: the caller now holds the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

    // Empties the holder and returns the slot for a C API output parameter
    // that stores a new reference (PyDict_GetItemRef and friends).
    [[nodiscard]] PyObject** put() noexcept {
        reset();
        return &ptr_;
    }

    // Replaces the held object with `stolen` (a new reference, may be null).
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = std::exchange(ptr_, stolen);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace llm_metrics
