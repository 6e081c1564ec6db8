"""The browser written out in plain Python, as the yardstick of the trace tests.

``show_supported_metrics(obj, table_module, ...)`` makes the calls a
Python body of the method would make, in the same order: the same imports,
attribute reads, nested functions, tables and printed lines.  ``Table`` is
looked up in ``table_module`` at each use, so both implementations print
through the same stand-in.
"""

from __future__ import annotations

from itertools import chain


def show_supported_metrics(obj, table_module, task_type=None, metric_id=None, metric_group=None):
    try:
        from zel_metrics_plugin.metrics.llm.config.entities import LLMMetricType, LLMSubMetrics, LLMTaskType
    except Exception:
        try:
            metric_type_module = __import__(
                "zel_metrics_plugin.metrics.llm.utils.constants",
                fromlist=["LLMSummarizationMetrics,LLMGenerationMetrics, LLMExtractionMetrics, LLMQAMetrics"],
            )
            obj._LLMMetrics__show_supported_metrics_old(metric_type_module)
            return None
        except Exception:
            raise Exception(
                "Unable to find metric-plugins latest version library with LLM support to list metrics. "
                "Please install it using `pip install zel-metrics-plugin`"
            )

    if isinstance(task_type, LLMTaskType):
        task_type = task_type.value
    if isinstance(metric_id, LLMMetricType) or isinstance(metric_id, LLMSubMetrics):
        metric_id = metric_id.value
    if isinstance(metric_group, LLMMetricType) or isinstance(metric_group, LLMSubMetrics):
        metric_group = metric_group.value

    all_task_type = [t.value for t in LLMTaskType]
    all_metrics = {m.value: m for m in sorted(chain(LLMMetricType, LLMSubMetrics), key=lambda x: x.value)}
    all_metric_group = list(set([m.metrics_group for m in LLMSubMetrics if m.metrics_group is not None]))

    def row(metric_obj):
        return [
            metric_obj.value,
            metric_obj.metrics_group if hasattr(metric_obj, "metrics_group") else None,
            metric_obj.supported_tasks,
            "Yes" if metric_obj.is_reference_free else "No",
        ]

    headers = ["Metric ID", "Metric Group", "Supported Task Type(s)", "Is Reference Free"]

    def display_all_supported_metrics():
        display_table(headers=list(headers), record=[row(m) for m in all_metrics.values()],
                      title_table="The following are the supported metrics:")

    def display_all_supported_task_type():
        display_table(headers=["Task Type(s)"], record=[[t] for t in all_task_type],
                      title_table="The following are supported task types.")

    def display_all_supported_metric_group():
        display_table(headers=["Metric Group"], record=[[g] for g in all_metric_group],
                      title_table="The following supported metric groups have their sub-metrics:")

    def display_error_msg(error_message):
        print(f"\033[31m {error_message} \033[0m")

    def display_table(headers, record, title_table):
        table_module.Table(headers, record).list(title=title_table)

    def display_supported_metrics(_task_type=None, metric_group_id=None):
        result = []
        if _task_type is not None:
            for metric_obj in get_supported_metrics(_task_type):
                result.append(row(metric_obj))
            title = f"Metrics supported by the {_task_type} task type:"
        elif metric_group_id is not None:
            if metric_group_id not in all_metric_group:
                display_error_msg(error_message=f"Metric group {metric_group_id} does not have any sub_metrics.")
                display_supported_task_type(metric_id=metric_group_id)
                display_all_supported_metric_group()
                return
            for metric_obj in all_metrics[metric_group_id].sub_metrics:
                result.append(row(metric_obj))
            title = f"Metrics that come under the {metric_group_id} metric group are:"
        display_table(headers=list(headers), record=result, title_table=title)

    def display_supported_task_type(metric_id):
        metric_obj = all_metrics[metric_id]
        display_table(headers=list(headers), record=[row(metric_obj)], title_table=f"{metric_id} metric details:")

    def get_supported_metrics(_task_type=None):
        metrics = []
        for m in chain(LLMMetricType, LLMSubMetrics):
            if _task_type in m.supported_tasks:
                metrics.append(m)
        return sorted(metrics, key=lambda x: x.value)

    if metric_id is not None and metric_id not in all_metrics:
        display_error_msg(f"The metric: {metric_id} is not valid.")
        display_all_supported_metrics()
        return None
    if task_type is not None and task_type not in all_task_type:
        display_error_msg(f"The task type: {task_type} is not valid.")
        display_all_supported_task_type()
        return None
    if metric_group is not None and metric_group not in all_metrics:
        display_error_msg(f"The metric group: {metric_group} is not valid.")
        display_table(headers=["metric group"], record=[[g] for g in all_metric_group],
                      title_table="The following supported metric groups have their sub-metrics:")
        return None

    if task_type is not None:
        if metric_id is None:
            display_supported_metrics(_task_type=task_type)
        else:
            supported = [m.value for m in get_supported_metrics(task_type)]
            if metric_id in supported:
                print(f"The {metric_id} metric is supported by the {task_type} task type.")
                display_supported_task_type(metric_id=metric_id)
            else:
                display_error_msg(f"Metric {metric_id} is not supported for the task type: {task_type}")
                display_supported_metrics(_task_type=task_type)
    elif metric_group is not None:
        if (
            metric_id is not None
            and hasattr(all_metrics[metric_group], "sub_metrics")
            and all_metrics[metric_group].sub_metrics is not None
        ):
            members = [m.value for m in all_metrics[metric_group].sub_metrics]
            if metric_id in members:
                print(f"{metric_id} metric comes under the {metric_group} metric group.")
                display_supported_task_type(metric_id=metric_id)
            else:
                display_error_msg(f"Metric {metric_id} does not come under the metric group: {metric_group}")
                display_supported_metrics(metric_group_id=metric_group)
        else:
            display_supported_metrics(metric_group_id=metric_group)
    elif metric_id is None:
        display_all_supported_metrics()
        display_all_supported_task_type()
        display_all_supported_metric_group()
    else:
        metric_obj = all_metrics[metric_id]
        display_table(
            headers=["Metric ID", "Metric Group", "Supported Task_Type(s)", "Is Reference Free"],
            record=[row(metric_obj)],
            title_table=f"The {metric_id} metric supports the following task type(s):",
        )
    print("\n\n\033[1;31mMetrics-plugin configuration structure\033[0m")
    from browser_fakes import CONFIGURATION_STRUCTURE

    print(CONFIGURATION_STRUCTURE)
    return None
