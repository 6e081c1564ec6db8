// Attribute reads with exactly the results of PyObject_GetAttr and
// PyObject_GetOptionalAttr, shorter for plain objects.
//
// A plain object here is an instance of a class that keeps its instance
// dictionary the interpreter's way (a managed __dict__), uses the generic
// attribute lookup (no __getattribute__ or __getattr__ of its own), whose
// dictionary already exists, and whose class and bases define nothing under
// the name read.  For such an object the generic lookup finds no descriptor
// and answers from the instance dictionary alone, so that is all these
// functions consult.
//
// Each read site keeps an `AttrSite`: the last two classes it saw and
// whether they are plain for its name, each under the class's version tag (which the interpreter
// replaces whenever the class or one of its bases changes, so a changed
// class is looked at afresh), with the position in the instance dictionary
// where the name was found last.  Instances of a class usually store their
// attributes in the same order, so the entry at that position is read
// directly and used when its key is the very name object; otherwise the
// dictionary is searched.  Every other object takes the generic lookup.
#pragma once

#include <Python.h>

namespace llm_metrics {

// What one read site remembers.  Use one site per name: `static AttrSite site;`.
struct AttrSite {
    struct Way {
        PyTypeObject* type = nullptr;  // only compared, together with the tag (tags are never reused)
        unsigned int tag = 0;
        bool plain = false;            // else: the generic lookup, without looking again
        Py_ssize_t position = 0;
    };
    Way ways[2];
    unsigned char next = 0;  // the way to replace next
};

namespace attributes_detail {

#ifndef Py_GIL_DISABLED
// Where the interpreter keeps a managed instance dictionary: in the words
// before the object, between its weak-reference list and its GC links.  A
// site is filled only after this has been checked on an object of a class
// of our own (see attributes.cpp).
inline constexpr Py_ssize_t kManagedDictOffset = -3 * static_cast<Py_ssize_t>(sizeof(PyObject*));

inline PyObject* managed_dict(PyObject* obj) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + kManagedDictOffset);
}
#endif

// The read when the site's memory does not settle it: 1 found (a new
// reference in `*out`), 0 absent, -1 with an exception; `*generic` is set
// when the object is not plain for `name` (nothing was read).
int read_slow(PyObject* obj, PyObject* name, AttrSite& site, PyObject** out, bool* generic);

// The site's way for the class of `obj`, or null.
inline AttrSite::Way* known_way(PyObject* obj, AttrSite& site) {
#ifndef Py_GIL_DISABLED
    PyTypeObject* type = Py_TYPE(obj);
    const unsigned int tag = type->tp_version_tag;
    for (AttrSite::Way& way : site.ways) {
        if (way.type == type && way.tag == tag && tag != 0) {
            return &way;
        }
    }
#else
    (void)obj;
    (void)site;
#endif
    return nullptr;
}

// dict[name] read at the way's position: the value (borrowed), or null when
// the entry there holds another key.  Runs no code.
inline PyObject* read_at(PyObject* dict, PyObject* name, const AttrSite::Way& way) {
    Py_ssize_t pos = way.position;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (PyDict_Next(dict, &pos, &key, &value) && key == name) {
        return value;
    }
    return nullptr;
}

}  // namespace attributes_detail

// obj.<name>.  `name` must be one of the module's interned names (alive for
// the whole process) and always the same one at a site.  A new reference,
// or null with the exception PyObject_GetAttr raises.
inline PyObject* get_attr(PyObject* obj, PyObject* name, AttrSite& site) {
    using namespace attributes_detail;
#ifndef Py_GIL_DISABLED
    if (AttrSite::Way* way = known_way(obj, site)) {
        PyObject* dict = way->plain ? managed_dict(obj) : nullptr;
        if (dict == nullptr) {
            return PyObject_GetAttr(obj, name);
        }
        if (PyObject* value = read_at(dict, name, *way)) {
            return Py_NewRef(value);
        }
    }
#endif
    if (Py_TYPE(obj)->tp_version_tag == 0) {
        // A class without a version tag (yet: the generic lookup gives it one
        // when it can) cannot be remembered.
        return PyObject_GetAttr(obj, name);
    }
    PyObject* value = nullptr;
    bool generic = false;
    const int found = read_slow(obj, name, site, &value, &generic);
    if (generic || found == 0) {
        // Not a plain object, or no such attribute: the generic lookup
        // (which, for a plain object, raises the AttributeError running no code).
        return PyObject_GetAttr(obj, name);
    }
    return value;
}

// As PyObject_GetOptionalAttr: 1 with `*out` a new reference, 0 with `*out`
// null when there is no such attribute (no exception), -1 with an exception.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** out, AttrSite& site) {
    using namespace attributes_detail;
#ifndef Py_GIL_DISABLED
    if (AttrSite::Way* way = known_way(obj, site)) {
        PyObject* dict = way->plain ? managed_dict(obj) : nullptr;
        if (dict == nullptr) {
            return PyObject_GetOptionalAttr(obj, name, out);
        }
        if (PyObject* value = read_at(dict, name, *way)) {
            *out = Py_NewRef(value);
            return 1;
        }
    }
#endif
    if (Py_TYPE(obj)->tp_version_tag == 0) {
        return PyObject_GetOptionalAttr(obj, name, out);
    }
    bool generic = false;
    *out = nullptr;
    const int found = read_slow(obj, name, site, out, &generic);
    if (generic) {
        return PyObject_GetOptionalAttr(obj, name, out);
    }
    if (found < 0 && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();  // as the generic lookup does when asked for an optional attribute
        return 0;
    }
    return found;
}

}  // namespace llm_metrics
