// __is_key_present(self, config, key): whether `key` is a key of `config`
// or of any dictionary nested in its values, depth first.
//
// Each nested dictionary is searched through `self._LLMMetrics__is_key_present`,
// looked up on the instance every time, so a subclass that replaces the
// method sees every level.  Exact dicts take the fast route (PyDict_Contains,
// PyDict_Next); anything else goes through `in` and `values()` as Python
// code would.
#include <array>

#include "computation/computation.hpp"
#include "core/names.hpp"
#include "core/python_ops.hpp"

namespace llm_metrics::computation {

namespace {

constexpr const char kWhere[] = " while searching a nested configuration";

// How deep a search may nest.
//
// The plain-Python form of this method is an ordinary recursive function, so
// a user expects what the interpreter grants one: a RecursionError once the
// nesting passes sys.getrecursionlimit() (1000 by default), and deeper
// configurations when they raise that limit.  Each level therefore counts
// against the Python recursion limit.  Raising the limit cannot take the
// search past the C stack, though: every level also enters a C recursion
// level (Py_EnterRecursiveCall), whose fixed per-thread allowance
// (Py_C_RECURSION_LIMIT, 10000 in release builds) times the native stack a
// level uses (a few hundred bytes: this body, the method-call machinery and
// the argument binder) stays well inside an 8 MB main-thread stack and the
// default thread stack.  A dictionary that contains itself ends the same way.
//
// The counter is per thread: every thread has its own stack and its own
// Python recursion allowance.
thread_local int search_depth = 0;

class SearchLevel {
public:
    SearchLevel() {
        if (search_depth >= Py_GetRecursionLimit()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kWhere);
            return;
        }
        if (Py_EnterRecursiveCall(kWhere) != 0) {
            return;
        }
        ++search_depth;
        entered_ = true;
    }
    ~SearchLevel() {
        if (entered_) {
            --search_depth;
            Py_LeaveRecursiveCall();
        }
    }
    SearchLevel(const SearchLevel&) = delete;
    SearchLevel& operator=(const SearchLevel&) = delete;

    [[nodiscard]] bool entered() const { return entered_; }

private:
    bool entered_ = false;
};

// isinstance(value, dict): 1, 0, or -1 with an exception set.  The common
// leaf types of a configuration are answered without a call; they are
// static types whose instances cannot claim another __class__.
int is_dictionary(PyObject* value) {
    if (PyDict_Check(value)) {
        return 1;
    }
    PyTypeObject* type = Py_TYPE(value);
    if (value == Py_None || type == &PyUnicode_Type || type == &PyLong_Type || type == &PyBool_Type ||
        type == &PyFloat_Type || type == &PyList_Type || type == &PyTuple_Type) {
        return 0;
    }
    return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyDict_Type));
}

// One value of `config`: skipped unless it is a dictionary, which is then
// searched through the method on the instance.  1 found, 0 not, -1 error.
int search_value(PyObject* self, PyObject* value, PyObject* key) {
    const int is_dict = is_dictionary(value);
    if (is_dict <= 0) {
        return is_dict;
    }
    Ref found = call_method<3>(names._LLMMetrics__is_key_present, {self, value, key});
    if (!found) {
        return -1;
    }
    if (found.get() == Py_True) {
        return 1;
    }
    if (found.get() == Py_False) {
        return 0;
    }
    return PyObject_IsTrue(found.get());
}

// An exact dict: its own keys first, then its values in order.  The walk
// fails as `for v in config.values()` does when a callback resizes the
// dictionary or swaps its keys.
int search_dict(PyObject* self, PyObject* config, PyObject* key) {
    const int contains = PyDict_Contains(config, key);
    if (contains != 0) {
        return contains;
    }
    const Py_ssize_t size = PyDict_GET_SIZE(config);
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    PyObject* borrowed = nullptr;
    for (;;) {
        if (PyDict_GET_SIZE(config) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (!PyDict_Next(config, &pos, nullptr, &borrowed)) {
            return 0;
        }
        if (remaining == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        --remaining;
        // Held while Python code runs: the search may drop it from `config`.
        Ref value = Ref::borrow(borrowed);
        const int found = search_value(self, value.get(), key);
        if (found != 0) {
            return found;
        }
    }
}

// Any other object: `key in config`, then `config.values()` iterated.
int search_other(PyObject* self, PyObject* config, PyObject* key) {
    const int contains = PySequence_Contains(config, key);
    if (contains != 0) {
        return contains;
    }
    Ref values = call_method<1>(names.values, {config});
    if (!values) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(values.get()));
    if (!iterator) {
        return -1;
    }
    while (Ref value = Ref::steal(PyIter_Next(iterator.get()))) {
        const int found = search_value(self, value.get(), key);
        if (found != 0) {
            return found;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject* is_key_present(MethodFunction*, PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    PyObject* config = args[1];
    PyObject* key = args[2];

    SearchLevel level;
    if (!level.entered()) {
        return nullptr;
    }
    const int found = PyDict_CheckExact(config) ? search_dict(self, config, key) : search_other(self, config, key);
    if (found < 0) {
        return nullptr;
    }
    return Py_NewRef(found ? Py_True : Py_False);
}

}  // namespace llm_metrics::computation
