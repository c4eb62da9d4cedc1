#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrow_abi.hpp"

namespace chopwise::columns {

// An array to hand out through the C data interface: its type and its buffers, which `keep`
// keeps alive until the consumer releases the last array it holds.
struct ExportNode {
    std::string format, name;
    std::int64_t length = 0, null_count = 0;
    std::vector<const void*> buffers;
    std::vector<ExportNode> children;
};

void export_schema(const ExportNode& node, ArrowSchema* out);
void export_array(const ExportNode& node, const std::shared_ptr<const void>& keep, ArrowArray* out);
// A stream of the one array `node`.
void export_stream(ExportNode node, std::shared_ptr<const void> keep, ArrowArrayStream* out);

}  // namespace chopwise::columns
