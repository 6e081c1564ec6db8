#include "core/scope.hpp"

#include "core/state.hpp"

namespace llm_metrics {

namespace {

// A scope is a variable-size object: its header, then one slot per variable.
PyObject** slots(PyObject* scope) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(scope) + sizeof(PyVarObject));
}

int scope_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    PyObject** vars = slots(self);
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) {
        Py_VISIT(vars[i]);
    }
    return 0;
}

int scope_tp_clear(PyObject* self) {
    PyObject** vars = slots(self);
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) {
        Py_CLEAR(vars[i]);
    }
    return 0;
}

void scope_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    scope_tp_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot scope_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(scope_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(scope_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(scope_tp_clear)},
    {},
};

}  // namespace

PyType_Spec scope_spec = {
    .name = "llm_metrics.scope",
    .basicsize = sizeof(PyVarObject),
    .itemsize = sizeof(PyObject*),
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = scope_slots,
};

Ref new_scope(Py_ssize_t n_vars) {
    PyObject* scope = reinterpret_cast<PyObject*>(PyObject_GC_NewVar(PyVarObject, state().scope_type, n_vars));
    if (scope == nullptr) {
        return {};
    }
    PyObject** vars = slots(scope);
    for (Py_ssize_t i = 0; i < n_vars; ++i) {
        vars[i] = nullptr;
    }
    PyObject_GC_Track(scope);
    return Ref::steal(scope);
}

bool is_scope(PyObject* obj) { return obj != nullptr && Py_IS_TYPE(obj, state().scope_type); }

PyObject* scope_get(PyObject* scope, Py_ssize_t index) {
    return index < Py_SIZE(scope) ? slots(scope)[index] : nullptr;
}

void scope_set(PyObject* scope, Py_ssize_t index, PyObject* value) {
    if (index < Py_SIZE(scope)) {
        Py_XSETREF(slots(scope)[index], Py_XNewRef(value));
    }
}

void scope_clear_all(PyObject* scope) {
    if (is_scope(scope)) {
        scope_tp_clear(scope);
    }
}

}  // namespace llm_metrics
