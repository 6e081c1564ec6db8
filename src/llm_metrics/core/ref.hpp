// Owned references to Python objects.
//
// `Ref` holds one strong reference and gives it back when it goes out of
// scope, so code paths that bail out on an error never have to remember which
// objects to release.  An empty `Ref` is the conventional "an exception is
// set" result of the helpers in this extension.
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
