#include <memory>

#include "native.hpp"

namespace chopwise::native {
namespace {

// A capsule whose struct the consumer did not move out is released with it.
template <class T>
void release_capsule(PyObject* capsule, const char* name) {
    auto* s = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (s == nullptr) {
        PyErr_Clear();
        return;
    }
    if (s->release != nullptr) s->release(s);
    delete s;
}

template <class T>
py::object capsule_of(std::unique_ptr<T> s, const char* name, PyCapsule_Destructor destructor) {
    PyObject* capsule = PyCapsule_New(s.get(), name, destructor);
    if (capsule == nullptr) {
        s->release(s.get());
        throw py::error_already_set();
    }
    s.release();
    return py::reinterpret_steal<py::object>(capsule);
}

}  // namespace

py::object schema_capsule(const columns::ExportNode& node) {
    auto s = std::make_unique<ArrowSchema>();
    columns::export_schema(node, s.get());
    return capsule_of(std::move(s), "arrow_schema",
                      [](PyObject* c) { release_capsule<ArrowSchema>(c, "arrow_schema"); });
}

py::tuple array_capsules(const columns::ExportNode& node, const std::shared_ptr<const void>& keep) {
    py::object schema = schema_capsule(node);
    auto a = std::make_unique<ArrowArray>();
    columns::export_array(node, keep, a.get());
    py::object array = capsule_of(std::move(a), "arrow_array", [](PyObject* c) {
        release_capsule<ArrowArray>(c, "arrow_array");
    });
    return py::make_tuple(schema, array);
}

py::object stream_capsule(columns::ExportNode node, std::shared_ptr<const void> keep) {
    auto s = std::make_unique<ArrowArrayStream>();
    columns::export_stream(std::move(node), std::move(keep), s.get());
    return capsule_of(std::move(s), "arrow_array_stream", [](PyObject* c) {
        release_capsule<ArrowArrayStream>(c, "arrow_array_stream");
    });
}

}  // namespace chopwise::native
