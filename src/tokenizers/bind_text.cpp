#include "bind_common.hpp"
#include "bindings.hpp"

namespace pybind11::detail {

// Takes what the std::string caster takes, under the same name. A str's UTF-8 encoding is made
// once, into a bytes object that the tokenizer then owns: the std::string caster would cache
// the encoding inside the caller's str and copy it again.
template <>
struct type_caster<chopwise::TextBytes> {
    PYBIND11_TYPE_CASTER(chopwise::TextBytes, const_name("str"));

    bool load(handle src, bool convert) {
        if (PyUnicode_Check(src.ptr())) {
            PyObject* utf8 = PyUnicode_AsUTF8String(src.ptr());
            if (utf8 == nullptr) {  // lone surrogates: no UTF-8 form, so no match
                PyErr_Clear();
                return false;
            }
            value.owner = std::shared_ptr<const void>(utf8, [](const void* o) {
                Py_DECREF(static_cast<PyObject*>(const_cast<void*>(o)));
            });
            value.data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(utf8));
            value.size = static_cast<std::size_t>(PyBytes_GET_SIZE(utf8));
            return true;
        }
        make_caster<std::string> raw;
        if (!raw.load(src, convert)) return false;
        value = chopwise::TextBytes::copy_of(cast_op<std::string&&>(std::move(raw)));
        return true;
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
