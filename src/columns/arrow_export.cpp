#include "arrow_export.hpp"

#include <cerrno>
#include <utility>

namespace chopwise::columns {
namespace {

struct SchemaPrivate {
    std::string format, name;
    std::vector<ArrowSchema*> children;
};

struct ArrayPrivate {
    std::shared_ptr<const void> keep;
    std::vector<const void*> buffers;
    std::vector<ArrowArray*> children;
};

// Releases a schema or an array with the children the consumer did not move out.
template <class Node, class Private>
void release_node(Node* node) {
    auto* own = static_cast<Private*>(node->private_data);
    for (Node* child : own->children) {
        if (child->release != nullptr) child->release(child);
        delete child;
    }
    delete own;
    node->release = nullptr;
}

void release_schema(ArrowSchema* s) { release_node<ArrowSchema, SchemaPrivate>(s); }
void release_array(ArrowArray* a) { release_node<ArrowArray, ArrayPrivate>(a); }

struct StreamPrivate {
    ExportNode node;
    std::shared_ptr<const void> keep;
    bool sent = false;
    std::string error;
};

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
    auto* own = static_cast<StreamPrivate*>(s->private_data);
    try {
        export_schema(own->node, out);
        return 0;
    } catch (...) {
        own->error = "out of memory";
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) {
    auto* own = static_cast<StreamPrivate*>(s->private_data);
    if (own->sent) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    try {
        export_array(own->node, own->keep, out);
        own->sent = true;
        return 0;
    } catch (...) {
        own->error = "out of memory";
        return ENOMEM;
    }
}

const char* stream_error(ArrowArrayStream* s) {
    auto* own = static_cast<StreamPrivate*>(s->private_data);
    return own->error.empty() ? nullptr : own->error.c_str();
}

void release_stream(ArrowArrayStream* s) {
    delete static_cast<StreamPrivate*>(s->private_data);
    s->release = nullptr;
}

}  // namespace

void export_schema(const ExportNode& node, ArrowSchema* out) {
    auto own = std::make_unique<SchemaPrivate>();
    own->format = node.format;
    own->name = node.name;
    own->children.reserve(node.children.size());
    try {
        for (const ExportNode& c : node.children) {
            auto child = std::make_unique<ArrowSchema>();
            export_schema(c, child.get());
            own->children.push_back(child.release());
        }
    } catch (...) {
        ArrowSchema partial{};
        partial.private_data = own.release();
        release_schema(&partial);
        throw;
    }
    *out = ArrowSchema{};
    out->format = own->format.c_str();
    out->name = own->name.c_str();
    out->metadata = nullptr;
    out->flags = ARROW_FLAG_NULLABLE;
    out->n_children = static_cast<std::int64_t>(own->children.size());
    out->children = own->children.data();
    out->dictionary = nullptr;
    out->release = release_schema;
    out->private_data = own.release();
}

void export_array(const ExportNode& node, const std::shared_ptr<const void>& keep,
                  ArrowArray* out) {
    auto own = std::make_unique<ArrayPrivate>();
    own->keep = keep;
    own->buffers = node.buffers;
    own->children.reserve(node.children.size());
    try {
        for (const ExportNode& c : node.children) {
            auto child = std::make_unique<ArrowArray>();
            export_array(c, keep, child.get());
            own->children.push_back(child.release());
        }
    } catch (...) {
        ArrowArray partial{};
        partial.private_data = own.release();
        release_array(&partial);
        throw;
    }
    *out = ArrowArray{};
    out->length = node.length;
    out->null_count = node.null_count;
    out->offset = 0;
    out->n_buffers = static_cast<std::int64_t>(own->buffers.size());
    out->n_children = static_cast<std::int64_t>(own->children.size());
    out->buffers = own->buffers.data();
    out->children = own->children.data();
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = own.release();
}

void export_stream(ExportNode node, std::shared_ptr<const void> keep, ArrowArrayStream* out) {
    auto own = std::make_unique<StreamPrivate>();
    own->node = std::move(node);
    own->keep = std::move(keep);
    out->get_schema = stream_schema;
    out->get_next = stream_next;
    out->get_last_error = stream_error;
    out->release = release_stream;
    out->private_data = own.release();
}

}  // namespace chopwise::columns
