#pragma once

#include <pybind11/pybind11.h>

#include "batch_result.hpp"
#include "tokenizers.hpp"

namespace chopwise {

namespace py = pybind11;

template <class Tokenizer>
void bind_stream(py::module_& m, const char* name) {
    using Stream = BatchStream<Tokenizer>;
    // A stream holds a plain pointer, so every stream made from another keeps that one (and
    // through it the tokenizer) alive.
    py::class_<Stream>(m, name)
        .def(
            "__iter__", [](const Stream& s) { return s; }, py::keep_alive<0, 1>())
        .def("__next__", [](Stream& s) {
            py::dict batch = get_batch(*s.tokenizer);
            if (batch.empty()) throw py::stop_iteration();
            return batch;
        });
}

// The settings, get_batch and stream, which both tokenizer classes share.
template <class Tokenizer>
void bind_batch_methods(py::class_<Tokenizer>& cls) {
    cls.def("set_batch_size", [](Tokenizer& t, std::uint32_t n) { t.batch.set_batch_size(n); })
        .def("set_filter", [](Tokenizer& t, std::uint64_t mask) { t.batch.set_filter(mask); })
        .def("set_token_min_len",
             [](Tokenizer& t, std::uint32_t n) { t.batch.set_token_min_len(n); })
        .def("set_token_max_len",
             [](Tokenizer& t, std::uint32_t n) { t.batch.set_token_max_len(n); })
        .def("get_batch", &get_batch<Tokenizer>)
        .def_property_readonly(
            "stream", py::cpp_function([](Tokenizer& t) { return BatchStream<Tokenizer>{&t}; },
                                       py::keep_alive<0, 1>()));
}

}  // namespace chopwise
