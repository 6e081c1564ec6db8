#include "core/attributes.hpp"

#include "core/ref.hpp"

namespace llm_metrics::attributes_detail {

#ifndef Py_GIL_DISABLED

namespace {

constexpr unsigned long kPlainFlags = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_HAVE_GC;

enum class Layout { unchecked, usable, unusable };
Layout layout = Layout::unchecked;

// A fresh instance of a new plain class has no dictionary; asking for its
// __dict__ creates one, which must then be the one found at the offset.
bool layout_is_usable() {
    PyObject* exc = PyErr_GetRaisedException();
    bool usable = false;
    Ref type = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N",
                                                "llm_metrics_layout_probe", PyDict_New()));
    if (type && PyType_Check(type.get())) {
        auto* probe_type = reinterpret_cast<PyTypeObject*>(type.get());
        Ref probe = Ref::steal(PyObject_CallNoArgs(type.get()));
        if (probe && Py_TYPE(probe.get()) == probe_type && (probe_type->tp_flags & kPlainFlags) == kPlainFlags &&
            managed_dict(probe.get()) == nullptr) {
            Ref dict = Ref::steal(PyObject_GenericGetDict(probe.get(), nullptr));
            usable = dict && PyDict_CheckExact(dict.get()) && managed_dict(probe.get()) == dict.get();
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return usable;
}

bool layout_usable() {
    if (layout == Layout::unchecked) {
        layout = layout_is_usable() ? Layout::usable : Layout::unusable;
    }
    return layout == Layout::usable;
}

// Whether the generic lookup of `name` on instances of `type` finds no
// descriptor and reads the managed instance dictionary only.
bool is_plain(PyTypeObject* type, PyObject* name, unsigned int tag) {
    if (type->tp_getattro != PyObject_GenericGetAttr || (type->tp_flags & kPlainFlags) != kPlainFlags ||
        !layout_usable()) {
        return false;
    }
    // Borrowed and only compared.  A class changed meanwhile has another tag.
    return _PyType_Lookup(type, name) == nullptr && type->tp_version_tag == tag;
}

// The site's way for `obj`'s class, filled on first sight of the class;
// null when the class has no version tag to remember it under.
AttrSite::Way* way_for(PyObject* obj, PyObject* name, AttrSite& site) {
    if (AttrSite::Way* way = known_way(obj, site)) {
        return way;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (!PyUnicode_CheckExact(name) || !PyUnstable_Type_AssignVersionTag(type)) {
        return nullptr;
    }
    const unsigned int tag = type->tp_version_tag;
    if (tag == 0) {
        return nullptr;
    }
    const bool plain = is_plain(type, name, tag);
    if (type->tp_version_tag != tag) {
        return nullptr;
    }
    AttrSite::Way& way = site.ways[site.next];
    site.next = static_cast<unsigned char>((site.next + 1) % 2);
    way.type = type;
    way.tag = tag;
    way.plain = plain;
    way.position = 0;
    return &way;
}

}  // namespace

int read_slow(PyObject* obj, PyObject* name, AttrSite& site, PyObject** out, bool* generic) {
    AttrSite::Way* way = way_for(obj, name, site);
    PyObject* dict = way != nullptr && way->plain ? managed_dict(obj) : nullptr;
    if (dict == nullptr) {
        *generic = true;
        return 0;
    }
    if (PyObject* value = read_at(dict, name, *way)) {
        *out = Py_NewRef(value);
        return 1;
    }
    // As the generic lookup does: the dictionary is held while it is searched.
    Py_INCREF(dict);
    const int found = PyDict_GetItemRef(dict, name, out);
    if (found > 0 && PyDict_GET_SIZE(dict) <= 16) {
        // Remember where the name is, for the next instance.
        Py_ssize_t pos = 0;
        Py_ssize_t at = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (key == name) {
                way->position = at;
                break;
            }
            at = pos;
        }
    }
    Py_DECREF(dict);
    return found;
}

#else

int read_slow(PyObject*, PyObject*, AttrSite&, PyObject**, bool* generic) {
    *generic = true;
    return 0;
}

#endif

}  // namespace llm_metrics::attributes_detail
