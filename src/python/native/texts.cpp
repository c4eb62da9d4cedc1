#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "columns/word_counts.hpp"
#include "native.hpp"

namespace chopwise::native {
namespace {

// Holds a stream or schema moved out of its capsule until it is released.
template <class T>
struct Released {
    T value{};
    ~Released() {
        if (value.release != nullptr) value.release(&value);
    }
};

template <class T>
void move_out(const py::object& capsule, const char* name, T& out) {
    auto* src = static_cast<T*>(PyCapsule_GetPointer(capsule.ptr(), name));
    if (src == nullptr) throw py::error_already_set();
    out = *src;
    src->release = nullptr;
}

[[noreturn]] void stream_failed(ArrowArrayStream& s, int code) {
    const char* why = s.get_last_error(&s);
    throw std::runtime_error(std::string("reading the Arrow stream failed: ") +
                             (why != nullptr ? why : std::strerror(code)));
}

constexpr std::size_t released_from_bytes = std::size_t{1} << 20;
constexpr int most_threads = 256;

}  // namespace

Texts::Texts(py::handle texts) {
    try {
        if (PyList_Check(texts.ptr())) {
            // A copy of the list holds every str, whatever the caller's list becomes meanwhile.
            keep = py::reinterpret_steal<py::list>(PyList_GetSlice(texts.ptr(), 0, PY_SSIZE_T_MAX));
            if (!keep) throw py::error_already_set();
            texts = keep;
            const Py_ssize_t n = PyList_GET_SIZE(texts.ptr());
            rows.reserve(static_cast<std::size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PyList_GET_ITEM(texts.ptr(), i);
                if (item == Py_None) {
                    rows.push_back({nullptr, 0, false});
                    continue;
                }
                if (!PyUnicode_Check(item))
                    throw py::type_error("texts[" + std::to_string(i) +
                                         "] must be str or None, not " + Py_TYPE(item)->tp_name);
                Py_ssize_t size;
                const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
                if (utf8 == nullptr) throw py::error_already_set();
                rows.push_back({reinterpret_cast<const std::uint8_t*>(utf8),
                                static_cast<std::size_t>(size), true});
                total_bytes += static_cast<std::size_t>(size);
            }
            text_column.chunks.emplace_back(rows.data(), rows.size());
            return;
        }
        if (py::hasattr(texts, "__arrow_c_stream__")) {
            Released<ArrowArrayStream> stream;
            move_out(texts.attr("__arrow_c_stream__")(), "arrow_array_stream", stream.value);
            Released<ArrowSchema> schema;
            ArrowArrayStream& s = stream.value;
            if (int code = s.get_schema(&s, &schema.value)) stream_failed(s, code);
            columns::require_string_format(schema.value.format);
            for (;;) {
                ArrowArray array{};
                if (int code = s.get_next(&s, &array)) stream_failed(s, code);
                if (array.release == nullptr) break;
                add_array(schema.value, array);
            }
            return;
        }
        if (py::hasattr(texts, "__arrow_c_array__")) {
            py::tuple pair = texts.attr("__arrow_c_array__")();
            Released<ArrowSchema> schema;
            move_out(pair[0], "arrow_schema", schema.value);
            ArrowArray array{};
            move_out(pair[1], "arrow_array", array);
            add_array(schema.value, array);
            return;
        }
    } catch (const std::invalid_argument& e) {
        throw py::type_error(std::string("texts must hold strings (string, large_string or "
                                         "string_view), not ") +
                             e.what());
    }
    throw py::type_error(std::string("texts must be an Arrow string array or stream, or a list of "
                                     "str, not ") +
                         Py_TYPE(texts.ptr())->tp_name);
}

void Texts::add_array(ArrowSchema& schema, ArrowArray& array) {
    arrays.push_back(std::make_unique<ArrowArray>(array));
    array.release = nullptr;
    text_column.chunks.emplace_back(schema, *arrays.back());
    const columns::StringChunk& c = text_column.chunks.back();
    total_bytes += c.bytes_between(0, c.size());
}

Texts::~Texts() {
    for (auto& a : arrays)
        if (a->release != nullptr) a->release(a.get());
}

columns::ErrorHandler error_handler(const std::string& name) {
    columns::ErrorHandler h;
    if (!columns::handler_named(name, h))
        throw py::value_error(
            "errors must be one of 'strict', 'replace', 'ignore', "
            "'backslashreplace', not '" +
            name + "'");
    return h;
}

void run_released(std::size_t input_bytes, int threads,
                  const std::function<void(unsigned, const std::function<void()>&)>& work) {
    if (threads < 1) throw py::value_error("threads must be at least 1");
    if (input_bytes < released_from_bytes) {
        work(0, [] {});
        return;
    }
    const std::function<void()> wait = [] {
        py::gil_scoped_acquire hold;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    };
    py::gil_scoped_release released;
    work(static_cast<unsigned>(std::min(threads, most_threads)), wait);
}

void raise_engine_error(py::handle path) {
    try {
        throw;
    } catch (const columns::MalformedText& e) {
        const std::string& c = e.context;
        PyObject* err = PyObject_CallFunction(
            PyExc_UnicodeDecodeError, "sy#nns", "utf-8", c.data(),
            static_cast<Py_ssize_t>(c.size()), static_cast<Py_ssize_t>(e.context_start),
            static_cast<Py_ssize_t>(e.context_start + e.length), e.what());
        if (err == nullptr) throw py::error_already_set();
        py::object error = py::reinterpret_steal<py::object>(err);
        error.attr("row") = e.row == columns::no_row ? py::object(py::none()) : py::int_(e.row);
        error.attr("offset") = py::int_(e.offset);
        PyErr_SetObject(PyExc_UnicodeDecodeError, error.ptr());
        throw py::error_already_set();
    } catch (const std::system_error& e) {
        const int code = e.code().value();
        PyObject* err =
            PyObject_CallFunction(PyExc_OSError, "isO", code, std::strerror(code), path.ptr());
        if (err == nullptr) throw py::error_already_set();
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err)), err);
        Py_DECREF(err);
        throw py::error_already_set();
    } catch (const columns::FileChanged& e) {
        // Its message holds the file's name as the system gave it, in any bytes.
        const py::object message =
            py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(e.what()));
        if (!message) throw py::error_already_set();
        PyErr_SetObject(PyExc_OSError, message.ptr());
        throw py::error_already_set();
    }
}

}  // namespace chopwise::native
