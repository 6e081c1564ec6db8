// __display_table, the catalogue views and __display_error_msg.
#include <array>

#include "browser/browser_scope.hpp"
#include "browser/nested.hpp"
#include "browser/rows.hpp"
#include "browser/sequences.hpp"
#include "browser/texts.hpp"
#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/globals.hpp"
#include "core/state.hpp"
#include "core/text.hpp"

namespace llm_metrics::browser {

int call_display_table(PyObject* display_table_fn, PyObject* headers, PyObject* record, PyObject* title) {
    PyObject* args[] = {headers, record, title};
    Ref result = Ref::steal(PyObject_Vectorcall(display_table_fn, args, 0, state().consts.kw_display_table));
    return result ? 0 : -1;
}

namespace {

// The one-column catalogue views: rows from a scope list, one header, a title.
PyObject* display_single_column(MethodFunction* fn, Var items_var, PyObject* header, PyObject* title) {
    Ref items = scope_read(fn, items_var);
    if (!items) {
        return nullptr;
    }
    Ref rows = single_cell_rows(items.get());
    if (!rows) {
        return nullptr;
    }
    items.reset();
    Ref display = scope_read(fn, Var::display_table);
    if (!display) {
        return nullptr;
    }
    Ref headers = Ref::steal(single_item_list(header));
    if (!headers || call_display_table(display.get(), headers.get(), rows.get(), title) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

// __display_table(headers, record, title_table): Table(headers, record).list(title=title_table)
PyObject* display_table(MethodFunction*, const DisplayTableParams& p) {
    Ref table_cls = lookup_global(state().consts.Table);
    if (!table_cls) {
        return nullptr;
    }
    Ref table = call<2>(table_cls.get(), {p.headers, p.record});
    if (!table) {
        return nullptr;
    }
    PyObject* list_args[] = {table.get(), p.title_table};
    Ref listed = Ref::steal(
        PyObject_VectorcallMethod(state().consts.list, list_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, state().consts.kw_title));
    if (!listed) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// __display_error_msg(error_message): print(f"\033[31m {error_message} \033[0m")
PyObject* display_error_msg(MethodFunction*, const DisplayErrorMsgParams& p) {
    Ref text = format_join({text_of(Text::red_open), p.error_message, text_of(Text::red_close)});
    if (!text || print_line(text.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* display_all_supported_metrics(MethodFunction* fn, const NoParams&) {
    Ref headers = metric_headers(text_of(Text::h_supported_task_types));
    if (!headers) {
        return nullptr;
    }
    Ref all_metrics = scope_read(fn, Var::all_metrics);
    if (!all_metrics) {
        return nullptr;
    }
    // for metric_obj in all_metrics.values(), with the dict iterator's checks.
    PyObject* dict = all_metrics.get();
    const Py_ssize_t expected = PyDict_GET_SIZE(dict);
    Ref rows = Ref::steal(PyList_New(0));
    if (!rows) {
        return nullptr;
    }
    Py_ssize_t pos = 0;
    Py_ssize_t remaining = expected;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != expected) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return nullptr;
        }
        if (!PyDict_Next(dict, &pos, &key, &value)) {
            break;
        }
        if (remaining-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return nullptr;
        }
        Ref metric_obj = Ref::borrow(value);
        if (list_append_new(rows.get(), metric_row(metric_obj.get())) < 0) {
            return nullptr;
        }
    }
    all_metrics.reset();
    Ref display = scope_read(fn, Var::display_table);
    if (!display || call_display_table(display.get(), headers.get(), rows.get(), text_of(Text::title_all_metrics)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* display_all_supported_task_type(MethodFunction* fn, const NoParams&) {
    return display_single_column(fn, Var::all_task_type, text_of(Text::h_task_types), text_of(Text::title_all_task_types));
}

PyObject* display_all_supported_metric_group(MethodFunction* fn, const NoParams&) {
    return display_single_column(fn, Var::all_metric_group, text_of(Text::h_metric_group), text_of(Text::title_all_metric_groups));
}

}  // namespace llm_metrics::browser
