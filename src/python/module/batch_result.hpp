#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <stdexcept>

#include "charlayer/utf8_text.hpp"
#include "python/utf8_str.hpp"
#include "tokenizers/batch.hpp"

namespace chopwise {

namespace py = pybind11;

inline py::dict new_dict() {
    PyObject* d = PyDict_New();
    if (d == nullptr) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate dict object!");
    }
    return py::reinterpret_steal<py::dict>(d);
}

// The result's keys are made once: for a short text they cost about as much as the batch.
inline PyObject* result_key(const char* name, PyObject*& slot) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(name);
    if (slot == nullptr) throw py::error_already_set();
    return slot;
}
inline PyObject* text_key() {
    static PyObject* key = nullptr;
    return result_key("text", key);
}
inline PyObject* types_key() {
    static PyObject* key = nullptr;
    return result_key("types", key);
}

inline void set_item(py::dict& d, PyObject* key, py::object value) {
    if (PyObject_SetItem(d.ptr(), key, value.ptr()) != 0) throw py::error_already_set();
}

// The text of a batch known plain (Batch::text_is_plain) in one pass: its size and width are
// known, and pure ASCII is copied as it is.
inline PyObject* plain_text_to_str(const Batch& batch) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(batch.text_out);
    const std::size_t chars = batch.text_used - batch.plain_continuations;
    // A continuation byte belongs to a Russian letter, past U+00FF.
    const bool ascii = batch.plain_continuations == 0;
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(chars), ascii ? 0x7F : 0xFFFF);
    if (str == nullptr) return nullptr;
    if (ascii)
        std::memcpy(PyUnicode_1BYTE_DATA(str), bytes, chars);
    else
        widen_two_byte_utf8(bytes, batch.text_used, PyUnicode_2BYTE_DATA(str));
    return str;
}

// Turns the filled batch into {"text": str, "types": uint64 array viewing types_out}. The
// array's base is the tokenizer's own Python object, which keeps its buffers alive.
template <class Tokenizer>
py::dict build_result(Tokenizer& tok) {
    Batch& batch = tok.batch;
    py::dict result = new_dict();
    if (batch.token_count == 0) return result;

    PyObject* text = batch.text_is_plain() ? plain_text_to_str(batch)
                                           : text_to_str(batch.text_out, batch.text_used);
    if (text == nullptr) throw py::error_already_set();
    set_item(result, text_key(), py::reinterpret_steal<py::object>(text));

    py::object owner = py::cast(&tok, py::return_value_policy::reference);
    py::array_t<std::uint64_t> types({static_cast<py::ssize_t>(batch.token_count)},
                                     {static_cast<py::ssize_t>(sizeof(std::uint64_t))},
                                     batch.types_out, owner);
    batch.mark_types_viewed();
    set_item(result, types_key(), std::move(types));
    return result;
}

template <class Tokenizer>
py::dict get_batch(Tokenizer& tok) {
    // Signal handlers run during a long call; an exception one of them raises ends it.
    tok.fill_batch([] {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    });
    return build_result(tok);
}

}  // namespace chopwise
