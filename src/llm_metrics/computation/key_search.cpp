// __is_key_present(self, config, key): whether `key` is a key of `config`
// or of any dictionary nested in its values, depth first, stopping at the
// first hit.
//
// Every nested dictionary is searched by `self._LLMMetrics__is_key_present`,
// as Python looks it up, so a subclass, a patched class or an instance
// attribute that replaces the method sees every level it should.  When the
// lookup yields this very function bound to `self` (the usual case), the
// nested level is searched in place on an explicit stack of levels instead
// of through a call: same order of operations, same results and exceptions,
// without a native stack frame per level.  One lookup stands for the
// following levels until code may have run (the rule is beside search()).
//
// Depth.  The plain-Python form of this method is an ordinary recursive
// function, so a user expects what the interpreter grants one: nesting past
// sys.getrecursionlimit() (1000 by default) ends in RecursionError, and a
// raised limit lets deeper configurations through.  The levels searched in
// place count against that limit (read when the search starts), which also
// ends the search of a dictionary that contains itself.  They cost no native
// stack, so even a limit raised far past what the C stack could hold is safe.
// Levels that do go through a call (a replaced method) nest natively, about
// 1 KB of native stack each: there each entry into this function is a C
// recursion level (Py_EnterRecursiveCall), the replacing Python function a
// Python one, and the entry into the method also checks the thread's native
// stack (core/native_stack.hpp, for every method), since on a thread started
// with a small stack neither allowance would run out before the stack does.
#include <array>
#include <cstddef>
#include <cstdint>

#include "computation/computation.hpp"
#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/state.hpp"

namespace llm_metrics::computation {

namespace {

constexpr const char kWhere[] = " while searching a nested configuration";

// The common leaf types of a configuration: static types whose instances
// cannot claim another __class__, so isinstance(value, dict) is false
// without asking.
inline bool is_plain_leaf(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return value == Py_None || type == &PyUnicode_Type || type == &PyLong_Type || type == &PyBool_Type ||
           type == &PyFloat_Type || type == &PyList_Type || type == &PyTuple_Type;
}

// Dictionaries this small have their keys checked before `key in config`
// (a pass that runs no code); larger ones count as running code.
constexpr Py_ssize_t kScanLimit = 16;

// Whether the exact dict `dict` has at most `limit` keys, all exact str:
// looking an exact str up in it then compares it with str keys only.
bool dict_keys_are_exact_str(PyObject* dict, Py_ssize_t limit) {
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) > limit) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    while (PyDict_Next(dict, &pos, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

// Whether `self._LLMMetrics__is_key_present` is `fn` bound to `self`, told
// without building the bound method where that is certain: the class of
// `self` uses the generic attribute lookup and has `fn` in its own
// dictionary (so the lookup finds it there first), `fn` is a non-data
// descriptor, and instances have no dictionary to shadow it.  1 yes, 0 not
// certain (the caller looks the attribute up, which reads an instance
// dictionary without creating it), -1 with an exception set.  `generic` is
// set when the class side holds (all but the instance dictionary): the
// attribute lookup then reads nothing else that could run code.
int is_own_method(PyObject* self, PyObject* fn, bool& generic) {
    generic = false;
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr || Py_TYPE(fn)->tp_descr_set != nullptr) {
        return 0;
    }
    Ref type_dict = Ref::steal(PyType_GetDict(type));
    Ref found;
    // An exact dict with an interned str key: the lookup runs no code.
    if (!type_dict || PyDict_GetItemRef(type_dict.get(), state().consts._LLMMetrics__is_key_present, found.put()) < 0) {
        return -1;
    }
    if (found.get() != fn) {
        return 0;
    }
    generic = true;
    return (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) == 0 && type->tp_dictoffset == 0;
}

// Whether looking a str name up among the attributes of `self` may compare
// it with a key of another type (whose __eq__ is Python code): told from
// what the type's traverse function shows, which is every object the
// instance refers to, its attribute dictionary included (traverse functions
// have no side effects).  Attributes kept in the instance's inline values
// have str keys only; a dictionary is read as an instance dictionary
// whatever it is, and vouched for only when exact with exact-str keys.
int visit_attribute_holder(PyObject* object, void* arg) {
    if (PyDict_Check(object) && !dict_keys_are_exact_str(object, kScanLimit)) {
        *static_cast<bool*>(arg) = true;
        return 1;
    }
    return 0;
}

bool attribute_lookup_may_run_code(PyObject* self) {
    traverseproc traverse = Py_TYPE(self)->tp_traverse;
    if (!PyType_IS_GC(Py_TYPE(self)) || traverse == nullptr) {
        // Instances that are not tracked hold no dictionary the collector
        // would see; one at a dictionary offset cannot be told apart.
        return Py_TYPE(self)->tp_dictoffset != 0 || (Py_TYPE(self)->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0;
    }
    bool may = false;
    traverse(self, visit_attribute_holder, &may);
    return may;
}

// Whether `method`, what the lookup of `self._LLMMetrics__is_key_present`
// gave, is `fn` bound to `self`.
inline bool is_bound_to(PyObject* method, PyObject* fn, PyObject* self) {
    return PyMethod_Check(method) && PyMethod_GET_FUNCTION(method) == fn && PyMethod_GET_SELF(method) == self;
}

// Searches a nested dictionary through `method` (the instance attribute,
// whatever it is).  1 found, 0 not, -1 error.
int search_by_call(PyObject* method, PyObject* nested, PyObject* key) {
    PyObject* args[] = {nested, key};
    Ref found = Ref::steal(PyObject_Vectorcall(method, args, 2, nullptr));
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

// One dictionary being walked.  Exact dicts are walked with PyDict_Next,
// anything else through the iterator of its values().
struct Level {
    PyObject* config;    // strong
    PyObject* iterator;  // strong; null for an exact dict
    Py_ssize_t pos;
    Py_ssize_t size;       // size when the walk began
    Py_ssize_t remaining;  // values still expected
};

// The levels of one search, innermost last.  Owns the references of its
// levels; the first few live inline, deeper ones on the heap.
class LevelStack {
public:
    LevelStack() = default;
    LevelStack(const LevelStack&) = delete;
    LevelStack& operator=(const LevelStack&) = delete;
    ~LevelStack() {
        while (size_ > 0) {
            pop();
        }
        if (data_ != inline_.data()) {
            PyMem_Free(data_);
        }
    }

    [[nodiscard]] size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    // Valid until the next push.
    [[nodiscard]] Level& top() { return data_[size_ - 1]; }

    // Takes over the references in `level`.  -1 with MemoryError (and the
    // references released) when the stack cannot grow.
    int push(const Level& level) {
        if (size_ == capacity_ && grow() < 0) {
            Py_DECREF(level.config);
            Py_XDECREF(level.iterator);
            return -1;
        }
        data_[size_++] = level;
        return 0;
    }

    void pop() {
        Level& level = data_[--size_];
        Py_XDECREF(level.iterator);
        Py_DECREF(level.config);
    }

private:
    int grow() {
        const size_t capacity = capacity_ * 2;
        Level* data = PyMem_New(Level, capacity);
        if (data == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        for (size_t i = 0; i < size_; ++i) {
            data[i] = data_[i];
        }
        if (data_ != inline_.data()) {
            PyMem_Free(data_);
        }
        data_ = data;
        capacity_ = capacity;
        return 0;
    }

    static constexpr size_t kInline = 4;  // enough for the usual configuration
    std::array<Level, kInline> inline_;  // filled by push
    Level* data_ = inline_.data();
    size_t size_ = 0;
    size_t capacity_ = kInline;
};

// The start of one level: `key in config`, then the walk of its values is
// set up on the stack.  1 when the key is a key of `config`, 0 when the
// level was pushed, -1 with an exception set.  Sets `stale` where that may
// have run code.
int enter_level(LevelStack& stack, PyObject* config, PyObject* key, bool& stale) {
    if (PyDict_CheckExact(config)) {
        if (!PyUnicode_CheckExact(key) || !dict_keys_are_exact_str(config, kScanLimit)) {
            stale = true;
        }
        const int contains = PyDict_Contains(config, key);
        if (contains != 0) {
            return contains;
        }
        const Py_ssize_t size = PyDict_GET_SIZE(config);
        return stack.push(Level{Py_NewRef(config), nullptr, 0, size, size});
    }
    stale = true;
    const int contains = PySequence_Contains(config, key);
    if (contains != 0) {
        return contains;
    }
    Ref values = call_method<1>(state().consts.values, {config});
    if (!values) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(values.get()));
    if (!iterator) {
        return -1;
    }
    return stack.push(Level{Py_NewRef(config), iterator.release(), 0, 0, 0});
}

// The next value of `level` that is not a plain leaf, as a new reference in
// `out`.  1 got one, 0 the level is exhausted, -1 with an exception set.
// An exact dict fails as `for v in config.values()` does when something has
// resized it or swapped its keys since the walk began.
int next_value(Level& level, PyObject** out, bool& stale) {
    if (level.iterator != nullptr) {
        stale = true;
        for (;;) {
            PyObject* value = PyIter_Next(level.iterator);
            if (value == nullptr) {
                return PyErr_Occurred() ? -1 : 0;
            }
            if (PyDict_Check(value) || !is_plain_leaf(value)) {
                *out = value;
                return 1;
            }
            Py_DECREF(value);
        }
    }
    PyObject* config = level.config;
    PyObject* value = nullptr;
    for (;;) {
        if (PyDict_GET_SIZE(config) != level.size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (!PyDict_Next(config, &level.pos, nullptr, &value)) {
            return 0;
        }
        if (level.remaining == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        --level.remaining;
        if (PyDict_Check(value) || !is_plain_leaf(value)) {
            *out = Py_NewRef(value);
            return 1;
        }
    }
}

// Drops a reference the search holds; its last one (the object was taken
// out of its container by code that ran) may run a finaliser.
void release(Ref& object, bool& stale) {
    if (object && Py_REFCNT(object.get()) == 1) {
        stale = true;
    }
    object.reset();
}

// The whole search below one call.  1 found, 0 not, -1 error.
//
// Each nested dictionary is searched by self._LLMMetrics__is_key_present,
// looked up as Python looks it up.  The answer of one lookup (this very
// function bound to `self`, so the level is searched in place) stands for
// the following levels as long as no Python code can have run since: code
// is what changes the instance's attributes or the class's method.  Between
// two levels, code can run only at these steps, each of which marks the
// answer stale (`stale`) so that the next nested level looks the method up
// again, exactly as before:
//
//  * `key in config` on an exact dict, unless the key is an exact str and
//    the dict's keys (checked beforehand when there are at most kScanLimit)
//    are exact str too: otherwise hashing the key or comparing it with a
//    key of another type calls __hash__/__eq__;
//  * any level that is not an exact dict (a subclass or an object posing as
//    one): `in`, values() and its iteration are Python-level calls;
//  * isinstance(value, dict) for a value that is neither a dict nor a plain
//    leaf: the test reads `__class__`, which may be Python code;
//  * a call of a method that is not this function (an override);
//  * dropping the last reference to a value or a level (something took it
//    out of its container), which may run a finaliser;
//  * a lookup that may itself run code: a class without the generic
//    attribute lookup or without this function in its own dictionary, or
//    an instance dictionary with non-str keys (their __eq__).
//
// Nothing else the walk does runs code: PyDict_Next and the leaf tests read
// memory; the explicit stack grows with PyMem (no collection); a lookup that
// passes reads exact dicts with str keys, and the bound method it makes is
// an allocation that can only schedule a collection: since Python 3.12 the
// collector, and with it every finaliser, runs at the evaluation loop's
// periodic check or in PyErr_CheckSignals, never inside an allocation.  The
// GIL is released only there too, so another thread runs only where Python
// code does.  A free-threaded build voids the rule: there another thread
// may replace the method or set an attribute between any two levels.
int search(PyObject* self, PyObject* fn, PyObject* config, PyObject* key) {
    const int limit = Py_GetRecursionLimit();
    LevelStack stack;
    bool stale = true;  // no lookup made yet
    bool own = false;   // what the last lookup found
    int status = enter_level(stack, config, key, stale);
    Ref value;
    while (status == 0 && !stack.empty()) {
        release(value, stale);
        PyObject* next = nullptr;
        const int got = next_value(stack.top(), &next, stale);
        if (got <= 0) {
            if (got < 0) {
                return -1;
            }
            Level& done = stack.top();
            if (done.iterator != nullptr || Py_REFCNT(done.config) == 1) {
                stale = true;
            }
            stack.pop();
            continue;
        }
        value = Ref::steal(next);
        if (!PyDict_Check(value.get())) {
            stale = true;  // isinstance(value, dict) asks Python
            const int is_dict = PyObject_IsInstance(value.get(), reinterpret_cast<PyObject*>(&PyDict_Type));
            if (is_dict <= 0) {
                status = is_dict;
                continue;
            }
        }
        // self._LLMMetrics__is_key_present(value, key): searched in place
        // when that is this very function bound to `self`.
        if (stale) {
            bool generic = false;
            const int certain = is_own_method(self, fn, generic);
            if (certain < 0) {
                return -1;
            }
            own = certain != 0;
            stale = !generic;
            if (!own) {
                Ref method = Ref::steal(get_attr(self, state().consts._LLMMetrics__is_key_present));
                if (!method) {
                    return -1;
                }
                own = is_bound_to(method.get(), fn, self);
                if (!own) {
                    stale = true;
                    status = search_by_call(method.get(), value.get(), key);
                    continue;
                }
#if PY_VERSION_HEX < 0x030C0000
                stale = true;  // the bound method's allocation may collect here
#else
                stale = stale || attribute_lookup_may_run_code(self);
#endif
            }
        }
        if (stack.size() >= static_cast<size_t>(limit)) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kWhere);
            return -1;
        }
        if (PyDict_CheckExact(value.get()) && PyDict_GET_SIZE(value.get()) == 0 && PyUnicode_CheckExact(key)) {
            continue;  // nothing to find, and hashing an exact str runs no code: the level is a no-op
        }
        status = enter_level(stack, value.get(), key, stale);
    }
    return status;
}

}  // namespace

PyObject* is_key_present(MethodFunction* fn, const IsKeyPresentParams& p) {
    if (Py_EnterRecursiveCall(kWhere) != 0) {
        return nullptr;
    }
    const int found = search(p.self, reinterpret_cast<PyObject*>(fn), p.config, p.key);
    Py_LeaveRecursiveCall();
    if (found < 0) {
        return nullptr;
    }
    return Py_NewRef(found ? Py_True : Py_False);
}

}  // namespace llm_metrics::computation
