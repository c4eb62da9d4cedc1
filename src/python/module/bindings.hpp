#pragma once

#include <pybind11/pybind11.h>

#include "tokenizers/tokenizers.hpp"

namespace chopwise {

namespace py = pybind11;

// Each registration function adds one Python class to the module; the module calls them in
// an order where every class is registered before the signatures that name it.
void bind_text_stream(py::module_& m);
void bind_text_tokenizer(py::module_& m);
void bind_file_stream(py::module_& m);
void bind_file_tokenizer(py::module_& m);

}  // namespace chopwise
