#include <cerrno>

#include "bind_common.hpp"
#include "bindings.hpp"

namespace chopwise {

void bind_file_stream(py::module_& m) { bind_stream<FromFileTokenizer>(m, "ffs_stream"); }

void bind_file_tokenizer(py::module_& m) {
    // The OSError subclass the error number calls for (IsADirectoryError, ...), with the path.
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const ReadError& e) {
            py::object path =
                py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(e.path.c_str()));
            if (!path) throw py::error_already_set();
            errno = e.error_number;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        }
    });
    py::class_<FromFileTokenizer> cls(m, "FFTokenizer");
    cls.def(py::init<std::string>(), py::arg("fpath"))
        .def("is_fopen", &FromFileTokenizer::is_fopen);
    bind_batch_methods(cls);
}

}  // namespace chopwise
