#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "batch_result.hpp"
#include "tokenizers/tokenizers.hpp"

namespace chopwise {

namespace py = pybind11;

// A handle on a tokenizer's batches. It holds the tokenizer's Python object and never the
// stream it was made from, so streams made from streams form no chain to keep or to free.
template <class Tokenizer>
struct BatchStream {
    py::object owner;
    Tokenizer* tokenizer;
};

using FromTextStream = BatchStream<FromTextTokenizer>;
using FromFileStream = BatchStream<FromFileTokenizer>;

}  // namespace chopwise

namespace pybind11::detail {

// An object made by __new__ without __init__ has no native object, yet pybind11 would hand
// its methods raw memory for one: every method refuses such an object with TypeError.
template <class T>
struct initialised_caster : type_caster_base<T> {
    bool load(handle src, bool convert) {
        const type_info* info = get_type_info(typeid(T));
        if (src && PyObject_TypeCheck(src.ptr(), info->type) &&
            !reinterpret_cast<instance*>(src.ptr())
                 ->get_value_and_holder(info)
                 .holder_constructed())
            throw type_error(std::string(Py_TYPE(src.ptr())->tp_name) +
                             " object holds no native object: it was made without __init__");
        return type_caster_base<T>::load(src, convert);
    }
};

template <>
struct type_caster<chopwise::FromTextTokenizer> : initialised_caster<chopwise::FromTextTokenizer> {
};
template <>
struct type_caster<chopwise::FromFileTokenizer> : initialised_caster<chopwise::FromFileTokenizer> {
};
template <class Tokenizer>
struct type_caster<chopwise::BatchStream<Tokenizer>>
    : initialised_caster<chopwise::BatchStream<Tokenizer>> {};

}  // namespace pybind11::detail

namespace chopwise {

template <class Tokenizer>
void bind_stream(py::module_& m, const char* name) {
    using Stream = BatchStream<Tokenizer>;
    py::class_<Stream>(m, name)
        .def("__iter__", [](const Stream& s) { return s; })
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
        .def_property_readonly("stream", [](Tokenizer& t) {
            return BatchStream<Tokenizer>{py::cast(&t, py::return_value_policy::reference), &t};
        });
}

}  // namespace chopwise
