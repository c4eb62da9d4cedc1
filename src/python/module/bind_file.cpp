#include <cerrno>
#include <string>

#include "bind_common.hpp"
#include "bindings.hpp"

namespace chopwise {

// A file name as the bytes the system call takes.
struct FilePath {
    std::string bytes;
};

}  // namespace chopwise

namespace pybind11::detail {

// Takes what open() takes: a str encoded as os.fsencode does (undecodable bytes come back
// from their surrogate escapes), bytes as they are, and an os.PathLike giving either. A
// bytearray is taken as bytes, as before.
template <>
struct type_caster<chopwise::FilePath> {
    PYBIND11_TYPE_CASTER(chopwise::FilePath, const_name("str | bytes | os.PathLike"));

    bool load(handle src, bool) {
        if (PyByteArray_Check(src.ptr())) {
            value.bytes.assign(PyByteArray_AS_STRING(src.ptr()),
                               static_cast<std::size_t>(PyByteArray_GET_SIZE(src.ptr())));
            return true;
        }
        const bool path_like =
            PyUnicode_Check(src.ptr()) || PyBytes_Check(src.ptr()) || hasattr(src, "__fspath__");
        if (!path_like) return false;
        // An os.PathLike that fails to give a path raises its own error.
        object path = reinterpret_steal<object>(PyOS_FSPath(src.ptr()));
        if (!path) throw error_already_set();
        if (PyUnicode_Check(path.ptr())) {
            path = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(path.ptr()));
            if (!path) throw error_already_set();
        }
        value.bytes.assign(PyBytes_AS_STRING(path.ptr()),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(path.ptr())));
        return true;
    }
};

}  // namespace pybind11::detail

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
    cls.def(py::init([](FilePath path) { return new FromFileTokenizer(path.bytes); }),
            py::arg("fpath"))
        .def("is_fopen", &FromFileTokenizer::is_fopen);
    bind_batch_methods(cls);
}

}  // namespace chopwise
