// show_supported_metrics: loads the plugin's enumerations (or falls back to
// the legacy listing), normalises the arguments, builds the browser scope,
// validates the arguments and runs the one view they ask for.
#include <array>

#include "browser/browser_scope.hpp"
#include "browser/nested.hpp"
#include "browser/rows.hpp"
#include "browser/sequences.hpp"
#include "browser/texts.hpp"
#include "core/attrs.hpp"
#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/imports.hpp"
#include "core/state.hpp"
#include "core/text.hpp"
#include "generated/methods.hpp"

namespace llm_metrics::browser {

namespace {

constexpr char kInstallHint[] = "Unable to find metric-plugins latest version library with LLM support to list "
                                "metrics. Please install it using `pip install zel-metrics-plugin`";

// Marks an exception as the one being handled for as long as it lives, as an
// `except` block does: code that runs meanwhile sees it as sys.exception(),
// and exceptions raised meanwhile get it as their __context__.
class HandledException {
public:
    explicit HandledException(PyObject* exc) : saved_(PyErr_GetHandledException()) { PyErr_SetHandledException(exc); }
    ~HandledException() { PyErr_SetHandledException(saved_); Py_XDECREF(saved_); }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    PyObject* saved_;  // strong, or null when nothing was being handled
};

// The enumerations could not be imported (an Exception is set): list the
// metrics of the older constants module instead, or raise the install hint.
PyObject* legacy_fallback(PyObject* self) {
    if (!current_exception_is_ordinary()) {
        return nullptr;
    }
    Ref import_error = Ref::steal(PyErr_GetRaisedException());
    HandledException handling(import_error.get());
    // __import__(<constants module>, fromlist=[<one comma-separated string>])
    Ref module;
    Ref fromlist = Ref::steal(PyList_New(1));
    if (fromlist) {
        PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(state().consts.constants_fromlist));
        module = call_kw<2>(state().builtin_import, {state().consts.constants_module, fromlist.get()}, state().consts.kw_fromlist);
    }
    if (module && call_method<2>(state().consts._LLMMetrics__show_supported_metrics_old, {self, module.get()})) {
        Py_RETURN_NONE;
    }
    return raise_install_hint(kInstallHint);
}

// A member of one of the enumerations is replaced by its value.
int normalise(Ref& arg, PyObject* cls, PyObject* other_cls) {
    int is_member = PyObject_IsInstance(arg.get(), cls);
    if (is_member == 0 && other_cls != nullptr) {
        is_member = PyObject_IsInstance(arg.get(), other_cls);
    }
    if (is_member <= 0) {
        return is_member;
    }
    Ref value = Ref::steal(get_attr(arg.get(), state().consts.value));
    if (!value) {
        return -1;
    }
    arg = std::move(value);
    return 0;
}

// Clears the browser scope when the call ends, however it ends.
class ScopeRelease {
public:
    explicit ScopeRelease(PyObject* scope) : scope_(scope) {}
    ~ScopeRelease() { clear_scope(scope_); }
    ScopeRelease(const ScopeRelease&) = delete;
    ScopeRelease& operator=(const ScopeRelease&) = delete;

private:
    PyObject* scope_;
};

enum class Outcome { error, validation_failed, shown };

struct Call;

// One check of an argument: given (not None), it must be in a catalogue;
// otherwise the call prints a red line (`error_head`, the argument, " is not
// valid.") and the valid values, and ends.
struct Check {
    PyObject* const Call::*argument;
    Ref Catalogues::*valid;
    Text error_head;
    int (Call::*show_valid)() const;
};

struct Call {
    PyObject* const task_type;
    PyObject* const metric_id;
    PyObject* const metric_group;
    const Catalogues& catalogues;
    const NestedFunctions& fns;

    int error_line(Ref message) const {
        return message && call<1>(fns.display_error_msg.get(), {message.get()}) ? 0 : -1;
    }

    static int call_no_args(const Ref& fn) { return Ref::steal(PyObject_CallNoArgs(fn.get())) ? 0 : -1; }

    int show_all_metrics() const { return call_no_args(fns.display_all_supported_metrics); }

    int show_all_task_types() const { return call_no_args(fns.display_all_supported_task_type); }

    // The groups, under the lower-case header "metric group".
    int show_all_groups() const {
        Ref headers = Ref::steal(single_item_list(text_of(Text::h_metric_group_lower)));
        Ref rows = headers ? single_cell_rows(catalogues.all_metric_group.get()) : Ref{};
        return rows ? call_display_table(fns.display_table.get(), headers.get(), rows.get(),
                                         text_of(Text::title_all_metric_groups))
                    : -1;
    }

    int show_metrics_of_task_type() const {
        return call_kw<1>(fns.display_supported_metrics.get(), {task_type}, state().consts.kw_task_type) ? 0 : -1;
    }

    int show_metrics_of_group() const {
        return call_kw<1>(fns.display_supported_metrics.get(), {metric_group}, state().consts.kw_metric_group_id) ? 0 : -1;
    }

    int show_metric_details() const {
        return call_kw<1>(fns.display_supported_task_type.get(), {metric_id}, state().consts.kw_metric_id) ? 0 : -1;
    }

    // print(message), then the details of the metric.
    int confirm(Ref message) const {
        if (!message || print_line(message.get()) < 0) {
            return -1;
        }
        return show_metric_details();
    }

    Ref metric_of(PyObject* id) const { return Ref::steal(PyObject_GetItem(catalogues.all_metrics.get(), id)); }

    Outcome run() const;
    int validate() const;
    int task_type_view() const;
    int metric_group_view() const;
    int group_has_sub_metrics() const;
    int metric_view() const;
};

using C = Constants;

// The checks, in the order they are made: only the first failing one is reported.
const Check kChecks[] = {
    {&Call::metric_id, &Catalogues::all_metrics, Text::invalid_metric_head, &Call::show_all_metrics},
    {&Call::task_type, &Catalogues::all_task_type, Text::invalid_task_type_head, &Call::show_all_task_types},
    {&Call::metric_group, &Catalogues::all_metrics, Text::invalid_group_head, &Call::show_all_groups},
};

// 1. Every argument given is known (kChecks): 1; 0 when one is not (its
// line and the valid values printed); -1 with an exception set.
int Call::validate() const {
    for (const Check& check : kChecks) {
        PyObject* argument = this->*check.argument;
        if (argument == Py_None) {
            continue;
        }
        // `argument in catalogue`: a key of the dict of metrics, an item of the list of task types.
        const int known = PySequence_Contains((catalogues.*check.valid).get(), argument);
        if (known < 0) {
            return -1;
        }
        if (!known) {
            if (error_line(format_join({text_of(check.error_head), argument, text_of(Text::is_not_valid)})) < 0 ||
                (this->*check.show_valid)() < 0) {
                return -1;
            }
            return 0;
        }
    }
    return 1;
}

// 2. The one view the arguments ask for.
Outcome Call::run() const {
    const int known = validate();
    if (known <= 0) {
        return known < 0 ? Outcome::error : Outcome::validation_failed;
    }
    int shown;
    if (task_type != Py_None) {
        shown = task_type_view();
    } else if (metric_group != Py_None) {
        shown = metric_group_view();
    } else if (metric_id != Py_None) {
        shown = metric_view();
    } else {
        shown = show_full_catalogue(fns);
    }
    return shown < 0 ? Outcome::error : Outcome::shown;
}

// 3. The metrics of the task type, or whether the metric supports it.
int Call::task_type_view() const {
    if (metric_id == Py_None) {
        return show_metrics_of_task_type();
    }
    Ref members = call<1>(fns.get_supported_metrics.get(), {task_type});
    if (!members) {
        return -1;
    }
    Ref supported_ids = member_values(members.get());
    if (!supported_ids) {
        return -1;
    }
    members.reset();
    const int supported = PySequence_Contains(supported_ids.get(), metric_id);
    if (supported < 0) {
        return -1;
    }
    if (supported) {
        return confirm(format_join(
            {text_of(Text::the_), metric_id, text_of(Text::metric_is_supported_by_the), task_type, text_of(Text::task_type_end)}));
    }
    if (error_line(format_join({text_of(Text::metric_), metric_id, text_of(Text::is_not_supported_for), task_type})) < 0) {
        return -1;
    }
    return show_metrics_of_task_type();
}

// 4. The metrics of the group, or whether the metric belongs to it.
int Call::metric_group_view() const {
    const int check_membership = metric_id != Py_None ? group_has_sub_metrics() : 0;
    if (check_membership <= 0) {
        return check_membership < 0 ? -1 : show_metrics_of_group();
    }
    Ref group = metric_of(metric_group);
    Ref sub_metrics = Ref::steal(group ? get_attr(group.get(), state().consts.sub_metrics) : nullptr);
    if (!sub_metrics) {
        return -1;
    }
    group.reset();
    Ref member_ids = member_values(sub_metrics.get());
    sub_metrics.reset();
    const int member = member_ids ? PySequence_Contains(member_ids.get(), metric_id) : -1;
    if (member < 0) {
        return -1;
    }
    if (member) {
        return confirm(format_join({metric_id, text_of(Text::metric_comes_under_the), metric_group, text_of(Text::metric_group_end)}));
    }
    if (error_line(format_join({text_of(Text::metric_), metric_id, text_of(Text::does_not_come_under), metric_group})) < 0) {
        return -1;
    }
    return show_metrics_of_group();
}

// Whether the group's metric has sub_metrics not None (hasattr, then the attribute read again, each
// from the group looked up afresh, as the plain-Python body does); -1 with an exception set.
int Call::group_has_sub_metrics() const {
    Ref group = metric_of(metric_group);
    if (!group) {
        return -1;
    }
    Ref attr;
    const int has_sub_metrics = PyObject_GetOptionalAttr(group.get(), state().consts.sub_metrics, attr.put());
    if (has_sub_metrics <= 0) {
        return has_sub_metrics;
    }
    group = metric_of(metric_group);
    attr = Ref::steal(group ? get_attr(group.get(), state().consts.sub_metrics) : nullptr);
    return attr ? attr.get() != Py_None : -1;
}

// 5. The one-row details table of the metric.
int Call::metric_view() const {
    Ref metric_obj = metric_of(metric_id);
    if (!metric_obj) {
        return -1;
    }
    Ref header = metric_headers(text_of(Text::h_supported_task_types_underscore));
    if (!header) {
        return -1;
    }
    Ref rows = single_metric_rows(metric_obj.get());
    if (!rows) {
        return -1;
    }
    Ref title = format_join({text_of(Text::the_), metric_id, text_of(Text::metric_supports_the_following)});
    if (!title) {
        return -1;
    }
    return call_display_table(fns.display_table.get(), header.get(), rows.get(), title.get());
}

}  // namespace

/*[method]
def show_supported_metrics(self, task_type=None, metric_id=None, metric_group=None):
        """
                Displays information about supported metrics and task types based on the provided parameters.

                This method can be called in the following ways:

                1. Show_supported_metrics() \u2192 Displays all supported metrics, task types, and metric groups.
                2. Show_supported_metrics(task_type="generation") \u2192 Displays all metrics supported by the specified task type.
                3. Show_supported_metrics(metric_id="bleu") \u2192 Displays all task types that support the specified metric.
                4. Show_supported_metrics(metric_group="rouge_score") \u2192 Displays all metrics that come under the specified metric group.
                5. Show_supported_metrics(task_type="generation", metric_id="bleu") \u2192 Displays whether the specified metric is supported by the specified task type.
                6. Show_supported_metrics(metric_group="rouge_score", metric_id="rouge1") \u2192 Displays whether the specified metric is part of the specified metric group.
            """
        stub = ("(self, task_type: str | enum.Enum | None = None, metric_id: str | enum.Enum | None = None,"
            " metric_group: str | enum.Enum | None = None) -> None")
        valid_call = "(metric_id='bleu')"
[method end]*/
PyObject* show_supported_metrics(MethodFunction*, const ShowSupportedMetricsParams& p) {
    Ref task_type = Ref::borrow(p.task_type);
    Ref metric_id = Ref::borrow(p.metric_id);
    Ref metric_group = Ref::borrow(p.metric_group);

    Ref enums[3];
    if (import_from(state().consts.entities_module, state().consts.fromlist_entities, enums) < 0) {
        return legacy_fallback(p.self);
    }
    PyObject* task_enum = enums[0].get();
    PyObject* metric_enum = enums[1].get();
    PyObject* sub_enum = enums[2].get();

    if (normalise(task_type, task_enum, nullptr) < 0 || normalise(metric_id, metric_enum, sub_enum) < 0 ||
        normalise(metric_group, metric_enum, sub_enum) < 0) {
        return nullptr;
    }

    Catalogues catalogues;
    if (build_catalogues(task_enum, metric_enum, sub_enum, catalogues) < 0) {
        return nullptr;
    }
    NestedFunctions fns;
    Ref scope = create_scope(metric_enum, sub_enum, catalogues, task_type.get(), fns);
    if (!scope) {
        return nullptr;
    }
    ScopeRelease release(scope.get());

    const Call call{task_type.get(), metric_id.get(), metric_group.get(), catalogues, fns};
    switch (call.run()) {
        case Outcome::error:
            return nullptr;
        case Outcome::validation_failed:
            Py_RETURN_NONE;
        case Outcome::shown:
            break;
    }
    if (print_line(text_of(Text::footer_heading)) < 0 || print_line(text_of(Text::configuration_structure)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace llm_metrics::browser
