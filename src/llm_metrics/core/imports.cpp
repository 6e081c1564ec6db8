#include "core/imports.hpp"

#include "core/state.hpp"

namespace llm_metrics {

int import_from(PyObject* module_name, std::initializer_list<PyObject*> attr_names, Ref* out) {
    Ref module = Ref::steal(PyImport_GetModule(module_name));
    if (!module && PyErr_Occurred()) {
        return -1;
    }
    if (module) {
        // Already loaded: use it when it has every name.
        Ref* slot = out;
        for (PyObject* attr : attr_names) {
            if (PyObject_GetOptionalAttr(module.get(), attr, slot->put()) < 0) {
                return -1;
            }
            if (!*slot) {
                module.reset();
                break;
            }
            ++slot;
        }
        if (module) {
            return 0;
        }
    }
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) {
        return -1;
    }
    for (PyObject* attr : attr_names) {
        if (PyList_Append(fromlist.get(), attr) < 0) {
            return -1;
        }
    }
    module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, state().globals, nullptr, fromlist.get(), 0));
    if (!module) {
        return -1;
    }
    Ref* slot = out;
    for (PyObject* attr : attr_names) {
        if (PyObject_GetOptionalAttr(module.get(), attr, slot->put()) < 0) {
            return -1;
        }
        if (!*slot) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", attr, module_name);
            return -1;
        }
        ++slot;
    }
    return 0;
}

}  // namespace llm_metrics
