// __is_key_present(self, config, key): whether `key` is a key of `config`
// or of any dictionary nested in its values, depth first, stopping at the
// first hit.
//
// Every nested dictionary is searched by calling
// `self._LLMMetrics__is_key_present`, found by the interpreter's own lookup
// (PyObject_VectorcallMethod: the MRO, a metaclass's mro(), descriptors,
// the instance dictionary; no bound method when it is this function), so a
// subclass, a patched class or an instance attribute that replaces the
// method sees every level it should.
//
// Depth.  The plain-Python form of this method is an ordinary recursive
// function, so a user expects what the interpreter grants one: nesting past
// sys.getrecursionlimit() ends in RecursionError, and a raised limit lets
// deeper configurations through.  Every level is a call of the method, and
// every call of a method counts as a Python frame does (core/recursion.hpp),
// against the same depth as the frames below it; that also ends the search
// of a dictionary that contains itself.  Each level also takes native stack,
// which the same guard measures: a chain deeper than the stack holds ends in
// RecursionError before the limit does.
#include "core/calls.hpp"
#include "core/state.hpp"
#include "generated/methods.hpp"

namespace llm_metrics::computation {

namespace {

// The common leaf types of a configuration: static types whose instances
// cannot claim another __class__, so isinstance(value, dict) is false
// without asking.  (A dict is told first: the usual value that is not a leaf.)
inline bool is_plain_leaf(PyObject* value) {
    if (PyDict_Check(value)) {
        return false;
    }
    PyTypeObject* type = Py_TYPE(value);
    return value == Py_None || type == &PyUnicode_Type || type == &PyLong_Type || type == &PyBool_Type ||
           type == &PyFloat_Type || type == &PyList_Type || type == &PyTuple_Type;
}

// The values of `config` as `for value in config.values()` yields them: an
// exact dict is walked in place, failing as its values iterator fails when
// something resized it or swapped its keys meanwhile; anything else
// through the iterator of its values().
class Values {
public:
    explicit Values(PyObject* config) : config_(config), exact_(PyDict_CheckExact(config)) {
        if (exact_) {
            size_ = remaining_ = PyDict_GET_SIZE(config);
        }
    }

    // -1 with an exception set on failure.
    int start() {
        if (exact_) {
            return 0;
        }
        Ref values = call_method<1>(state().consts.values, {config_});
        iterator_ = values ? Ref::steal(PyObject_GetIter(values.get())) : Ref();
        return iterator_ ? 0 : -1;
    }

    // The next value that is not a plain leaf, as a new reference in `out`:
    // 1, 0 at the end, -1 with an exception set.  (Skipping a leaf runs no
    // code, so the dict's own reference to it is enough until then.)
    int next(Ref& out) {
        if (!exact_) {
            do {
                out = Ref::steal(PyIter_Next(iterator_.get()));
            } while (out && is_plain_leaf(out.get()));
            return out ? 1 : PyErr_Occurred() ? -1 : 0;
        }
        PyObject* value = nullptr;
        do {
            if (PyDict_GET_SIZE(config_) != size_) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
            if (!PyDict_Next(config_, &pos_, nullptr, &value)) {
                return 0;
            }
            if (remaining_-- == 0) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                return -1;
            }
        } while (is_plain_leaf(value));
        out = Ref::borrow(value);
        return 1;
    }

private:
    PyObject* config_;  // held by the caller
    bool exact_;
    Ref iterator_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t size_ = 0;
    Py_ssize_t remaining_ = 0;
};

// 1 found, 0 not, -1 error.
int search(PyObject* self, PyObject* config, PyObject* key) {
    // `key in config` (an exact dict's own test, called directly)
    const int contains = PyDict_CheckExact(config) ? PyDict_Contains(config, key) : PySequence_Contains(config, key);
    if (contains != 0) {
        return contains;
    }
    Values values(config);
    if (values.start() < 0) {
        return -1;
    }
    Ref value;
    int got = 0;
    while ((got = values.next(value)) > 0) {
        // isinstance(value, dict): a dict or an instance of a subclass is one
        // without asking (the test never reads __class__ then).
        const int is_dict =
            PyDict_Check(value.get()) ? 1 : PyObject_IsInstance(value.get(), reinterpret_cast<PyObject*>(&PyDict_Type));
        if (is_dict <= 0) {
            if (is_dict < 0) {
                return -1;
            }
            continue;
        }
        Ref found = call_method<3>(state().consts._LLMMetrics__is_key_present, {self, value.get(), key});
        const int truth = !found ? -1 : found.get() == Py_False ? 0 : PyObject_IsTrue(found.get());
        if (truth != 0) {
            return truth;
        }
    }
    return got;
}

}  // namespace

/*[method]
def __is_key_present(self, config, key):
        """
        Recursively checks if the given key exists in the config_json.
        :param config: input config_json.
        :param key: Key to find.
        :return: True if key exists, otherwise False.
        """
        valid_call = "({'a': {'b': 1}}, 'b')"
[method end]*/
PyObject* is_key_present(MethodFunction*, const IsKeyPresentParams& p) {
    const int found = search(p.self, p.config, p.key);
    if (found < 0) {
        return nullptr;
    }
    return Py_NewRef(found ? Py_True : Py_False);
}

}  // namespace llm_metrics::computation
