// The class LLMMetrics: its method table and its constructor.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics {

struct CreatedClass {
    Ref cls;                     // LLMMetrics
    Ref compute_metrics_doc;     // the docstring objects, shared with __test__
    Ref get_metrics_result_doc;
};

// Builds the namespace from the method table, in order, and calls
// type("LLMMetrics", (), namespace).  Returns false with an exception set on failure.
bool create_llm_metrics_class(PyObject* module, PyObject* globals, CreatedClass& out);

}  // namespace llm_metrics
