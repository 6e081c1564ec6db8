#include "browser/rows.hpp"
#include "browser/texts.hpp"

#include "browser/sequences.hpp"
#include "core/attrs.hpp"
#include "core/state.hpp"

namespace llm_metrics::browser {

Ref metric_headers(PyObject* supported_tasks_header) {
    PyObject* list = PyList_New(4);
    if (list != nullptr) {
        PyList_SET_ITEM(list, 0, Py_NewRef(text_of(Text::h_metric_id)));
        PyList_SET_ITEM(list, 1, Py_NewRef(text_of(Text::h_metric_group)));
        PyList_SET_ITEM(list, 2, Py_NewRef(supported_tasks_header));
        PyList_SET_ITEM(list, 3, Py_NewRef(text_of(Text::h_is_reference_free)));
    }
    return Ref::steal(list);
}

PyObject* metric_row(PyObject* metric_obj) {
    Ref id = Ref::steal(get_attr(metric_obj, state().consts.value));
    if (!id) {
        return nullptr;
    }
    // hasattr(metric_obj, "metrics_group"), then the read itself.
    Ref group;
    const int has_group = PyObject_GetOptionalAttr(metric_obj, state().consts.metrics_group, group.put());
    if (has_group < 0) {
        return nullptr;
    }
    if (has_group) {
        group = Ref::steal(get_attr(metric_obj, state().consts.metrics_group));
        if (!group) {
            return nullptr;
        }
    } else {
        group = Ref::borrow(Py_None);
    }
    Ref tasks = Ref::steal(get_attr(metric_obj, state().consts.supported_tasks));
    if (!tasks) {
        return nullptr;
    }
    Ref reference_free = Ref::steal(get_attr(metric_obj, state().consts.is_reference_free));
    if (!reference_free) {
        return nullptr;
    }
    const int truth = PyObject_IsTrue(reference_free.get());
    if (truth < 0) {
        return nullptr;
    }
    PyObject* row = PyList_New(4);
    if (row == nullptr) {
        return nullptr;
    }
    PyList_SET_ITEM(row, 0, id.release());
    PyList_SET_ITEM(row, 1, group.release());
    PyList_SET_ITEM(row, 2, tasks.release());
    PyList_SET_ITEM(row, 3, Py_NewRef(truth ? text_of(Text::yes) : text_of(Text::no)));
    return row;
}

Ref metric_rows(PyObject* members) {
    Ref rows = Ref::steal(PyList_New(0));
    if (!rows || for_each(members, [&](PyObject* member) { return list_append_new(rows.get(), metric_row(member)); }) <
                     0) {
        return {};
    }
    return rows;
}

Ref single_metric_rows(PyObject* metric_obj) {
    Ref row = Ref::steal(metric_row(metric_obj));
    return row ? Ref::steal(single_item_list(row.get())) : Ref{};
}

Ref single_cell_rows(PyObject* items) {
    Ref rows = Ref::steal(PyList_New(0));
    if (!rows ||
        for_each(items, [&](PyObject* item) { return list_append_new(rows.get(), single_item_list(item)); }) < 0) {
        return {};
    }
    return rows;
}

Ref member_values(PyObject* members) {
    Ref values = Ref::steal(PyList_New(0));
    if (!values || for_each(members, [&](PyObject* member) {
            return list_append_new(values.get(), get_attr(member, state().consts.value));
        }) < 0) {
        return {};
    }
    return values;
}

}  // namespace llm_metrics::browser
