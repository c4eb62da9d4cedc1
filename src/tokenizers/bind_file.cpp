#include "bind_common.hpp"
#include "bindings.hpp"

namespace chopwise {

void bind_file_stream(py::module_& m) { bind_stream<FromFileTokenizer>(m, "ffs_stream"); }

void bind_file_tokenizer(py::module_& m) {
    py::class_<FromFileTokenizer> cls(m, "FFTokenizer");
    cls.def(py::init<std::string>(), py::arg("fpath"))
        .def("is_fopen", &FromFileTokenizer::is_fopen);
    bind_batch_methods(cls);
}

}  // namespace chopwise
