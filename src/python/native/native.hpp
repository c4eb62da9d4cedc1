#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <vector>

#include "columns/arrow_export.hpp"
#include "columns/malformed.hpp"
#include "columns/text_column.hpp"
#include "columns/utf8_check.hpp"
#include "python/utf8_str.hpp"

namespace chopwise::native {

namespace py = pybind11;

// The texts of a call, read in place: Arrow arrays imported through their capsules (released
// when this dies) or the UTF-8 forms of a list's strings, kept alive by the list.
class Texts {
public:
    explicit Texts(py::handle texts);
    ~Texts();
    Texts(const Texts&) = delete;
    Texts& operator=(const Texts&) = delete;

    const columns::TextColumn& column() const { return text_column; }
    std::size_t bytes() const { return total_bytes; }

private:
    void add_array(ArrowSchema& schema, ArrowArray& array);

    std::vector<std::unique_ptr<ArrowArray>> arrays;
    std::vector<columns::RowText> rows;
    py::object keep;
    columns::TextColumn text_column;
    std::size_t total_bytes = 0;
};

columns::ErrorHandler error_handler(const std::string& name);

// The str of UTF-8 text; what is not well-formed raises UnicodeDecodeError.
inline py::object utf8_str(const std::uint8_t* p, std::size_t n) {
    PyObject* s = text_to_str(reinterpret_cast<const char*>(p), n);
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

// Runs `work(threads, wait)` with the interpreter lock released, the calling thread taking it
// back every few dozen milliseconds to answer signals. Small inputs run on the calling thread
// (threads 0) with the lock held: they end before a signal would wait noticeably.
void run_released(std::size_t input_bytes, int threads,
                  const std::function<void(unsigned, const std::function<void()>&)>& work);

// The Python exception for a native one from the engine (decode error, file error); `path`
// is the name a file error gives.
[[noreturn]] void raise_engine_error(py::handle path);

// Capsules of the Arrow C data interface, for the PyCapsule protocol.
py::object schema_capsule(const columns::ExportNode& node);
py::tuple array_capsules(const columns::ExportNode& node, const std::shared_ptr<const void>& keep);
py::object stream_capsule(columns::ExportNode node, std::shared_ptr<const void> keep);

}  // namespace chopwise::native
