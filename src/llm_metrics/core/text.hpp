// Building and printing text.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "core/ref.hpp"

namespace llm_metrics {

// format(value, "") joined over all pieces; pieces that are exact str are used as they are.
Ref format_join(std::initializer_list<PyObject*> pieces);

// print(text) through the builtin taken at initialisation.
int print_line(PyObject* text);

}  // namespace llm_metrics
