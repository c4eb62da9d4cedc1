#pragma once

// What both extension modules build their strs with.
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "charlayer/utf8_text.hpp"

namespace chopwise {

// UTF-8 text as a str made in one allocation of its final kind (the interpreter's decoder
// starts narrow, widens at the first character past Latin-1 and shrinks to the length at the
// end). Text that is not strictly well-formed goes to the interpreter's decoder, which raises
// the error it always has. A new reference, or null with the error set.
inline PyObject* text_to_str(const char* text, std::size_t n) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text);
    const Utf8Shape shape = measure_utf8(bytes, n);
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(shape.chars), shape.max_code_point);
    if (str == nullptr) return nullptr;
    bool ok = false;
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            ok = widen_utf8(bytes, n, shape, PyUnicode_1BYTE_DATA(str));
            break;
        case PyUnicode_2BYTE_KIND:
            ok = widen_utf8(bytes, n, shape, PyUnicode_2BYTE_DATA(str));
            break;
        default:
            ok = widen_utf8(bytes, n, shape, PyUnicode_4BYTE_DATA(str));
            break;
    }
    if (ok) return str;
    Py_DECREF(str);
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(n), nullptr);
}

}  // namespace chopwise
