#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>
#include <unordered_set>

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
// Whether `obj`, an instance of the class of `info`, holds its native object: one made by
// __new__ without __init__ does not.
inline bool holds_native_object(PyObject* obj, const type_info* info) {
    return reinterpret_cast<instance*>(obj)->get_value_and_holder(info).holder_constructed();
}

template <class T>
struct initialised_caster : type_caster_base<T> {
    bool load(handle src, bool convert) {
        const type_info* info = get_type_info(typeid(T));
        if (src && PyObject_TypeCheck(src.ptr(), info->type) &&
            !holds_native_object(src.ptr(), info))
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

// Marks a tokenizer busy for the length of one call. A signal handler that runs during the
// call, or another thread while such a handler waits, may call the same tokenizer again; that
// call is refused, so it can neither resize nor refill the buffers the outer call is filling.
class BusyGuard {
public:
    explicit BusyGuard(const void* tokenizer) : tokenizer_(tokenizer) {
        if (!busy().insert(tokenizer).second)
            throw std::runtime_error(
                "tokenizer is busy: it was called again (from a signal handler or another "
                "thread) while one of its calls was running");
    }
    ~BusyGuard() { busy().erase(tokenizer_); }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    // Touched only with the GIL held. Never freed: it may be used until the interpreter ends.
    static std::unordered_set<const void*>& busy() {
        static auto* set = new std::unordered_set<const void*>();
        return *set;
    }
    const void* tokenizer_;
};

// A method of the tokenizer that refuses to run while another call of it is running.
template <class Tokenizer, class Arg, class Method>
auto guarded(Method method) {
    return [method](Tokenizer& t, Arg arg) {
        BusyGuard guard(&t);
        (t.batch.*method)(arg);
    };
}

template <class Tokenizer>
py::dict guarded_get_batch(Tokenizer& t) {
    BusyGuard guard(&t);
    return get_batch(t);
}

// pybind11 ignores a second __init__ on an object that holds its native object already (it
// takes every function of that name for a constructor), so a script that meant to start over
// on a new input would go on with the old one unawares. The class's __init__ is wrapped in a
// plain function that refuses such a call and hands every other one on.
template <class T>
PyObject* init_once(PyObject* init, PyObject* args, PyObject* kwargs) {
    const py::detail::type_info* info = py::detail::get_type_info(typeid(T));
    PyObject* self = PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    if (self != nullptr && PyObject_TypeCheck(self, info->type) &&
        py::detail::holds_native_object(self, info)) {
        PyErr_Format(PyExc_RuntimeError, "%s is initialised already: make a new one",
                     Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return PyObject_Call(init, args, kwargs);
}

template <class T>
void refuse_second_init(py::class_<T>& cls) {
    py::object init = cls.attr("__init__");
    static const std::string doc = py::str(init.attr("__doc__"));
    static PyMethodDef def = {
        "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&init_once<T>)),
        METH_VARARGS | METH_KEYWORDS, doc.c_str()};
    auto function = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&def, init.ptr(), nullptr));
    if (!function) throw py::error_already_set();
    auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
    if (!method) throw py::error_already_set();
    cls.attr("__init__") = method;
}

template <class Tokenizer>
void bind_stream(py::module_& m, const char* name) {
    using Stream = BatchStream<Tokenizer>;
    py::class_<Stream>(m, name)
        .def("__iter__", [](const Stream& s) { return s; })
        .def("__next__", [](Stream& s) {
            py::dict batch = guarded_get_batch(*s.tokenizer);
            if (batch.empty()) throw py::stop_iteration();
            return batch;
        });
}

// The settings, get_batch and stream, which both tokenizer classes share.
template <class Tokenizer>
void bind_batch_methods(py::class_<Tokenizer>& cls) {
    cls.def("set_batch_size", guarded<Tokenizer, std::uint32_t>(&Batch::set_batch_size))
        .def("set_filter", guarded<Tokenizer, std::uint64_t>(&Batch::set_filter))
        .def("set_token_min_len", guarded<Tokenizer, std::uint32_t>(&Batch::set_token_min_len))
        .def("set_token_max_len", guarded<Tokenizer, std::uint32_t>(&Batch::set_token_max_len))
        .def("get_batch", &guarded_get_batch<Tokenizer>)
        .def_property_readonly("stream", [](Tokenizer& t) {
            return BatchStream<Tokenizer>{py::cast(&t, py::return_value_policy::reference), &t};
        });
    refuse_second_init(cls);
}

}  // namespace chopwise
