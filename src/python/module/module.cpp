#include <pybind11/pybind11.h>

#include "bindings.hpp"
#include "charlayer/token_type.hpp"

namespace py = pybind11;
using chopwise::TokenType;

namespace {

void bind_token_type(py::module_& m) {
    py::enum_<TokenType> type(m, "TokenType", py::arithmetic());
    for (const chopwise::TokenTypeInfo& info : chopwise::token_types)
        type.value(info.name, info.type);
    type.export_values()
        // A plain method, not an operator: any other operand is a TypeError, never
        // NotImplemented, and the result is an int mask rather than a member.
        .def("__or__", [](TokenType a, TokenType b) -> std::uint64_t {
            return chopwise::type_bits(a) | chopwise::type_bits(b);
        });
}

}  // namespace

PYBIND11_MODULE(chopwiseCXX, m) {
    bind_token_type(m);
    chopwise::bind_text_stream(m);
    chopwise::bind_text_tokenizer(m);
    chopwise::bind_file_stream(m);
    chopwise::bind_file_tokenizer(m);
}
