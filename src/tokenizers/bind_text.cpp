#include "bind_common.hpp"
#include "bindings.hpp"

namespace chopwise {

void bind_text_stream(py::module_& m) { bind_stream<FromTextTokenizer>(m, "fts_stream"); }

void bind_text_tokenizer(py::module_& m) {
    py::class_<FromTextTokenizer> cls(m, "FTTokenizer");
    cls.def(py::init<std::string>(), py::arg("text"));
    bind_batch_methods(cls);
}

}  // namespace chopwise
