#include "bind_common.hpp"
#include "bindings.hpp"
#include "charlayer/utf8_text.hpp"

namespace pybind11::detail {

// Takes what the std::string caster takes, under the same name. A str is encoded straight
// into the tokenizer's own block: the std::string caster would have the str cache its UTF-8
// form for the rest of its life and then copy it once more.
template <>
struct type_caster<chopwise::TextBytes> {
    PYBIND11_TYPE_CASTER(chopwise::TextBytes, const_name("str"));

    bool load(handle src, bool convert) {
        if (PyUnicode_Check(src.ptr())) return load_str(src.ptr());
        make_caster<std::string> raw;
        if (!raw.load(src, convert)) return false;
        value = chopwise::TextBytes::copy_of(cast_op<std::string&&>(std::move(raw)));
        return true;
    }

private:
    bool load_str(PyObject* str) {
        const void* data = PyUnicode_DATA(str);
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
        switch (PyUnicode_KIND(str)) {
            case PyUnicode_1BYTE_KIND:
                return encode(static_cast<const Py_UCS1*>(data), n);
            case PyUnicode_2BYTE_KIND:
                return encode(static_cast<const Py_UCS2*>(data), n);
            default:
                return encode(static_cast<const Py_UCS4*>(data), n);
        }
    }

    template <class Char>
    bool encode(const Char* chars, std::size_t n) {
        value = chopwise::TextBytes::encode(chars, n);
        return value.data != nullptr;  // none for lone surrogates: no match
    }
};

}  // namespace pybind11::detail

namespace chopwise {

void bind_text_stream(py::module_& m) { bind_stream<FromTextTokenizer>(m, "fts_stream"); }

void bind_text_tokenizer(py::module_& m) {
    py::class_<FromTextTokenizer> cls(m, "FTTokenizer");
    cls.def(py::init<TextBytes>(), py::arg("text"));
    bind_batch_methods(cls);
}

}  // namespace chopwise
