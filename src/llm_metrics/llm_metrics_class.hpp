// The class LLMMetrics: its method table and its constructor.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace llm_metrics {

// Builds the namespace from the method table, in order, calls
// type("LLMMetrics", (), namespace) and enters each method's doctest entry
// (key -> docstring) into `doctests`.  The class, or an empty Ref with an
// exception set.
Ref create_llm_metrics_class(PyObject* module, PyObject* globals, PyObject* doctests);

}  // namespace llm_metrics
