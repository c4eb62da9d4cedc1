// chopwise._native: the column engine of src/columns for the chopwise library.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sys/stat.h>

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "columns/token_table.hpp"
#include "columns/word_counts.hpp"
#include "columns/workers.hpp"
#include "native.hpp"

namespace py = pybind11;
using namespace chopwise;
using columns::CountTable;
using columns::TokenTableData;

namespace {

// A counted token as a str (the engine counts well-formed UTF-8 only).
py::object key_str(const CountTable::Item& it) { return native::utf8_str(it.key, it.length); }

// What reading the file at `path` may take: its size for a regular file, which ends there;
// for anything else (a pipe, a file of the proc kind, a name that fails) a read that may wait.
std::size_t bytes_to_read(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        return static_cast<std::size_t>(st.st_size);
    return ~std::size_t{0};
}

// Engine errors become their Python exceptions; the interpreter's own pass through.
template <class F>
void engine_call(py::handle path, F&& f) {
    try {
        f();
    } catch (const py::error_already_set&) {
        throw;
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        native::raise_engine_error(path);
    }
}

struct TokenTable {
    std::shared_ptr<const TokenTableData> data;
};
struct TokenLists {
    std::shared_ptr<const TokenTableData> data;
};

// A read-only NumPy view of a column, keeping `owner` alive.
template <class T>
py::array column_view(const py::object& owner, const columns::RawArray<T>& values, std::size_t n) {
    py::array_t<T> a({static_cast<py::ssize_t>(n)}, {static_cast<py::ssize_t>(sizeof(T))},
                     values.data(), owner);
    a.attr("flags").attr("writeable") = false;
    return std::move(a);
}

// The getter of a column's view.
template <class T>
auto column_property(columns::RawArray<T> columns::TokenFields::* column) {
    return [column](const py::object& self) {
        const TokenTableData& d = *self.cast<const TokenTable&>().data;
        return column_view(self, d.fields().*column, d.tokens);
    };
}

py::list token_strings(const TokenTableData& t) {
    py::list out(t.tokens);
    for (std::size_t i = 0; i < t.tokens; ++i) {
        const std::int64_t a = t.offset(i), b = t.offset(i + 1);
        PyList_SET_ITEM(
            out.ptr(), static_cast<Py_ssize_t>(i),
            native::utf8_str(t.text.data() + a, static_cast<std::size_t>(b - a)).release().ptr());
    }
    return out;
}

TokenTable tokenize(py::handle texts, std::uint64_t mask, std::uint32_t min_len,
                    std::uint32_t max_len, const std::string& errors, int threads) {
    const columns::TokenizeSettings settings{columns::TokenFilter(mask, min_len, max_len),
                                             native::error_handler(errors)};
    native::Texts in(texts);
    std::shared_ptr<TokenTableData> out;
    engine_call(py::str(""), [&] {
        native::run_released(in.bytes(), threads,
                             [&](unsigned n, const std::function<void()>& wait) {
                                 out = columns::tokenize_column(in.column(), settings, n, wait);
                             });
    });
    return {std::move(out)};
}

class WordCounter {
public:
    WordCounter(std::uint64_t mask, std::uint32_t min_len, std::uint32_t max_len, bool lower,
                const std::string& errors)
        : settings{columns::TokenFilter(mask, min_len, max_len), lower,
                   native::error_handler(errors)},
          stream(settings) {}

    // The counts of a call are merged once the call has succeeded, with the interpreter lock
    // held, so a reader on another thread never sees the table change under it.
    void add_texts(py::handle texts, int threads) {
        native::Texts in(texts);
        CountTable got;
        engine_call(py::str(""), [&] {
            native::run_released(in.bytes(), threads,
                                 [&](unsigned n, const std::function<void()>& wait) {
                                     got = columns::count_column(in.column(), settings, n, wait);
                                 });
        });
        take(got, threads);
    }

    // Any path os.fsencode takes; errors name it as os.fsdecode gives it. `progress`, if not
    // None, is told the bytes counted since it was last told, as slices of the file end.
    void add_file(py::handle path, int threads, py::object progress) {
        add_paths(py::make_tuple(path), threads, progress,
                  [&](const std::vector<std::string>& paths, auto&&... rest) {
                      return columns::count_file(paths[0], settings, rest...);
                  });
    }

    // Files (as add_file takes them) counted side by side, each by one thread. An error names
    // the first file in their order that failed; a decode error also tells its index as `file`.
    void add_files(py::sequence paths, int threads, py::object progress) {
        add_paths(paths, threads, progress,
                  [&](const std::vector<std::string>& all, auto&&... rest) {
                      return columns::count_files(all, settings, rest...);
                  });
    }

    void add_bytes(py::handle block, bool final) {
        Py_buffer view;
        if (PyObject_GetBuffer(block.ptr(), &view, PyBUF_SIMPLE) != 0)
            throw py::error_already_set();
        const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> held(&view, PyBuffer_Release);
        const auto* p = static_cast<const std::uint8_t*>(view.buf);
        const auto n = static_cast<std::size_t>(view.len);
        // The stream's state is not for two calls at once.
        if (streaming) throw py::value_error("add_bytes is already running on another thread");
        streaming = true;
        const std::unique_ptr<bool, void (*)(bool*)> done(&streaming, [](bool* b) { *b = false; });
        CountTable got;
        engine_call(py::str(""), [&] {
            native::run_released(n, 1, [&](unsigned threads, const std::function<void()>& wait) {
                if (threads == 0) return stream.add(p, n, final, got, [] {});
                columns::run_tasks(
                    1, 1,
                    [&](std::size_t, const columns::TaskContext& c) {
                        stream.add(p, n, final, got, [&c] { c.check(); });
                    },
                    wait);
            });
        });
        try {
            take(got);
        } catch (...) {  // the block is not counted, so the stream must not have moved past it
            stream.undo();
            throw;
        }
    }

    void merge(const WordCounter& other) {
        counts.merge(other.counts);
        sort_threads = std::max(sort_threads, other.sort_threads);
    }

    std::size_t size() const { return counts.size(); }
    std::int64_t total() const { return counts.total(); }

    py::list items() const {
        const auto sorted = counts.sorted(sort_threads);
        py::list out(sorted.size());
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            const CountTable::Item& it = sorted[i];
            out[i] = py::make_tuple(key_str(it), it.count);
        }
        return out;
    }

    // Sets every count in `into` (a dict or a Counter), most common first: no tuple per item.
    // The items are set as they come sorted, while the rest are sorted on other threads.
    void fill(py::dict into) const {
        counts.sorted(sort_threads,
                      [&into](const CountTable::Item* first, const CountTable::Item* last) {
                          set_counts(into, first, last);
                      });
    }

    std::shared_ptr<columns::CountsArrow> arrow() const {
        return columns::counts_arrow(counts.sorted(sort_threads));
    }

private:
    template <class Count>
    void add_paths(py::sequence path_args, int threads, const py::object& progress, Count count) {
        const py::module_ os = py::module_::import("os");
        std::vector<std::string> paths;
        std::vector<py::object> names;
        std::size_t bytes = 0;
        for (py::handle arg : path_args) {
            paths.push_back(py::bytes(os.attr("fsencode")(arg)));
            names.push_back(os.attr("fsdecode")(arg));
            const std::size_t b = bytes_to_read(paths.back());
            bytes = b > ~std::size_t{0} - bytes ? ~std::size_t{0} : bytes + b;
        }
        if (paths.empty()) return;
        std::atomic<std::uint64_t> done{0};
        std::uint64_t told = 0;
        auto tell = [&] {  // with the interpreter lock held
            const std::uint64_t now = done.load();
            if (now == told || progress.is_none()) return;
            progress(now - told);
            told = now;
        };
        CountTable got;
        std::exception_ptr failed;
        std::size_t failed_file = 0;
        engine_call(names[0], [&] {
            native::run_released(bytes, threads,
                                 [&](unsigned n, const std::function<void()>& wait) {
                                     const std::function<void()> wait_and_tell = [&] {
                                         wait();
                                         py::gil_scoped_acquire hold;
                                         tell();
                                     };
                                     try {
                                         got = count(paths, n, wait_and_tell, &done);
                                     } catch (const columns::InFile& e) {
                                         failed = e.error;
                                         failed_file = e.index;
                                     }
                                 });
        });
        if (failed) {
            try {
                engine_call(names[failed_file], [&] { std::rethrow_exception(failed); });
            } catch (py::error_already_set& e) {
                if (e.matches(PyExc_UnicodeDecodeError)) e.value().attr("file") = failed_file;
                throw;
            }
        }
        tell();  // before the counts are taken: a progress that raises fails the whole call
        take(got, threads);
    }

    static void set_counts(const py::dict& into, const CountTable::Item* first,
                           const CountTable::Item* last) {
        // The keys are read in count order, all over the table: ask for them ahead.
        constexpr std::ptrdiff_t ahead = 8;
        for (const CountTable::Item* it = first; it != last; ++it) {
            if (last - it > ahead) __builtin_prefetch(it[ahead].key);
            const py::object key = key_str(*it);
            const py::object value =
                py::reinterpret_steal<py::object>(PyLong_FromLongLong(it->count));
            if (!value || PyDict_SetItem(into.ptr(), key.ptr(), value.ptr()) != 0)
                throw py::error_already_set();
        }
    }

    // The counts of a call that succeeded; the first ones are taken whole, not copied.
    void take(CountTable& got, int threads = 1) {
        if (counts.size() == 0)
            counts = std::move(got);
        else
            counts.merge(got);
        sort_threads = std::max(sort_threads, static_cast<unsigned>(std::max(threads, 1)));
    }

    columns::CountSettings settings;
    CountTable counts;
    // The results are sorted on as many threads as the calls that counted had.
    unsigned sort_threads = 1;
    columns::StreamCounter stream;
    bool streaming = false;
};

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.attr("ERRORS") = py::make_tuple("strict", "replace", "ignore", "backslashreplace");

    py::class_<TokenTable>(m, "TokenTable")
        .def("__len__", [](const TokenTable& t) { return t.data->tokens; })
        .def_property_readonly("rows", [](const TokenTable& t) { return t.data->rows; })
        .def_property_readonly("types", column_property(&columns::TokenFields::types))
        .def_property_readonly("doc", column_property(&columns::TokenFields::doc))
        .def_property_readonly("start", column_property(&columns::TokenFields::start))
        .def_property_readonly("end", column_property(&columns::TokenFields::end))
        .def("strings", [](const TokenTable& t) { return token_strings(*t.data); })
        .def("lists", [](const TokenTable& t) { return TokenLists{t.data}; })
        .def("__arrow_c_schema__",
             [](const TokenTable& t) { return native::schema_capsule(t.data->table()); })
        .def(
            "__arrow_c_array__",
            [](const TokenTable& t, py::object) {
                return native::array_capsules(t.data->table(), t.data);
            },
            py::arg("requested_schema") = py::none())
        .def(
            "__arrow_c_stream__",
            [](const TokenTable& t, py::object) {
                return native::stream_capsule(t.data->table(), t.data);
            },
            py::arg("requested_schema") = py::none());

    py::class_<TokenLists>(m, "TokenLists")
        .def("__len__", [](const TokenLists& l) { return l.data->rows; })
        .def("__arrow_c_schema__",
             [](const TokenLists& l) { return native::schema_capsule(l.data->lists()); })
        .def(
            "__arrow_c_array__",
            [](const TokenLists& l, py::object) {
                return native::array_capsules(l.data->lists(), l.data);
            },
            py::arg("requested_schema") = py::none());

    m.def("tokenize", &tokenize, py::arg("texts"), py::arg("mask"), py::arg("min_len"),
          py::arg("max_len"), py::arg("errors"), py::arg("threads"));

    py::class_<WordCounter>(m, "WordCounter")
        .def(py::init<std::uint64_t, std::uint32_t, std::uint32_t, bool, const std::string&>(),
             py::arg("mask"), py::arg("min_len"), py::arg("max_len"), py::arg("lower"),
             py::arg("errors"))
        .def("add_texts", &WordCounter::add_texts, py::arg("texts"), py::arg("threads"))
        .def("add_file", &WordCounter::add_file, py::arg("path"), py::arg("threads"),
             py::arg("progress") = py::none())
        .def("add_files", &WordCounter::add_files, py::arg("paths"), py::arg("threads"),
             py::arg("progress") = py::none())
        .def("add_bytes", &WordCounter::add_bytes, py::arg("block"), py::arg("final"))
        .def("merge", &WordCounter::merge, py::arg("other"))
        .def("__len__", &WordCounter::size)
        .def("total", &WordCounter::total)
        .def("items", &WordCounter::items)
        .def("fill", &WordCounter::fill, py::arg("into"))
        .def("__arrow_c_schema__",
             [](const WordCounter& c) { return native::schema_capsule(c.arrow()->node()); })
        .def(
            "__arrow_c_array__",
            [](const WordCounter& c, py::object) {
                auto a = c.arrow();
                return native::array_capsules(a->node(), a);
            },
            py::arg("requested_schema") = py::none());
}
