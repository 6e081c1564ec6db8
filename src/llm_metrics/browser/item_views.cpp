// __display_supported_metrics and __display_supported_task_type: the
// metrics of one task type or group, and the details of one metric.
#include <array>

#include "browser/browser_scope.hpp"
#include "browser/nested.hpp"
#include "browser/rows.hpp"
#include "browser/sequences.hpp"
#include "browser/texts.hpp"
#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/state.hpp"
#include "core/text.hpp"

namespace llm_metrics::browser {

namespace {

// The group is not one that has sub-metrics: a red line, the details of the
// metric with that id and the table of all groups.
PyObject* report_group_without_sub_metrics(MethodFunction* fn, PyObject* metric_group_id) {
    Ref error_fn = scope_read(fn, Var::display_error_msg);
    if (!error_fn) {
        return nullptr;
    }
    Ref message = format_join({text_of(Text::metric_group_), metric_group_id, text_of(Text::no_sub_metrics)});
    if (!message || !call_kw<1>(error_fn.get(), {message.get()}, state().consts.kw_error_message)) {
        return nullptr;
    }
    error_fn.reset();
    Ref details_fn = scope_read(fn, Var::display_supported_task_type);
    if (!details_fn || !call_kw<1>(details_fn.get(), {metric_group_id}, state().consts.kw_metric_id)) {
        return nullptr;
    }
    details_fn.reset();
    Ref groups_fn = scope_read(fn, Var::display_all_supported_metric_group);
    if (!groups_fn || !Ref::steal(PyObject_CallNoArgs(groups_fn.get()))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The rows and the title of the metrics of one task type.
int task_type_table(MethodFunction* fn, PyObject* task_type, Ref& rows, Ref& title) {
    Ref query = scope_read(fn, Var::get_supported_metrics);
    Ref members = query ? call<1>(query.get(), {task_type}) : Ref();
    rows = members ? metric_rows(members.get()) : Ref();
    if (!rows) {
        return -1;
    }
    title = format_join({text_of(Text::metrics_supported_by_the), task_type, text_of(Text::task_type_colon)});
    return title ? 0 : -1;
}

// The rows and the title of the sub-metrics of one group; 1 when the group
// has none, reported instead.
int group_table(MethodFunction* fn, PyObject* group_id, Ref& rows, Ref& title) {
    Ref groups = scope_read(fn, Var::all_metric_group);
    const int is_group = groups ? PySequence_Contains(groups.get(), group_id) : -1;
    if (is_group < 0) {
        return -1;
    }
    groups.reset();
    if (!is_group) {
        return Ref::steal(report_group_without_sub_metrics(fn, group_id)) ? 1 : -1;
    }
    Ref all_metrics = scope_read(fn, Var::all_metrics);
    Ref group = Ref::steal(all_metrics ? PyObject_GetItem(all_metrics.get(), group_id) : nullptr);
    if (!group) {
        return -1;
    }
    all_metrics.reset();
    Ref sub_metrics = Ref::steal(get_attr(group.get(), state().consts.sub_metrics));
    rows = sub_metrics ? metric_rows(sub_metrics.get()) : Ref();
    if (!rows) {
        return -1;
    }
    title = format_join({text_of(Text::metrics_that_come_under_the), group_id, text_of(Text::metric_group_are)});
    return title ? 0 : -1;
}

}  // namespace

// __display_supported_metrics(_task_type=None, metric_group_id=None)
PyObject* display_supported_metrics(MethodFunction* fn, const DisplaySupportedMetricsParams& p) {
    Ref header = metric_headers(text_of(Text::h_supported_task_types));
    if (!header) {
        return nullptr;
    }
    Ref result;
    Ref title;
    if (p._task_type != Py_None) {
        if (task_type_table(fn, p._task_type, result, title) < 0) {
            return nullptr;
        }
    } else if (p.metric_group_id != Py_None) {
        const int made = group_table(fn, p.metric_group_id, result, title);
        if (made != 0) {
            return made < 0 ? nullptr : Py_NewRef(Py_None);
        }
    } else {
        result = Ref::steal(PyList_New(0));
        if (!result) {
            return nullptr;
        }
    }
    Ref display = scope_read(fn, Var::display_table);
    if (!display) {
        return nullptr;
    }
    if (!title) {
        // Neither argument given: the title was never set.
        PyErr_SetString(PyExc_UnboundLocalError,
                        "cannot access local variable 'title' where it is not associated with a value");
        return nullptr;
    }
    if (call_display_table(display.get(), header.get(), result.get(), title.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// __display_supported_task_type(metric_id): the one-row details table of a metric.
PyObject* display_supported_task_type(MethodFunction* fn, const DisplaySupportedTaskTypeParams& p) {
    Ref all_metrics = scope_read(fn, Var::all_metrics);
    if (!all_metrics) {
        return nullptr;
    }
    Ref metric_obj = Ref::steal(PyObject_GetItem(all_metrics.get(), p.metric_id));
    if (!metric_obj) {
        return nullptr;
    }
    all_metrics.reset();
    Ref header = metric_headers(text_of(Text::h_supported_task_types));
    if (!header) {
        return nullptr;
    }
    Ref result = single_metric_rows(metric_obj.get());
    if (!result) {
        return nullptr;
    }
    Ref display = scope_read(fn, Var::display_table);
    if (!display) {
        return nullptr;
    }
    Ref title = format_join({p.metric_id, text_of(Text::metric_details)});
    if (!title || call_display_table(display.get(), header.get(), result.get(), title.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace llm_metrics::browser
