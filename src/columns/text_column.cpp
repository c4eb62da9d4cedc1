#include "text_column.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "utf8_check.hpp"

namespace chopwise::columns {

StringChunk::StringChunk(const ArrowSchema& schema, const ArrowArray& array) {
    const char* f = schema.format;
    require_string_format(f);
    layout = std::strcmp(f, "u") == 0   ? Layout::small
             : std::strcmp(f, "U") == 0 ? Layout::large
                                        : Layout::view;
    length = static_cast<std::size_t>(array.length);
    offset = static_cast<std::size_t>(array.offset);
    if (array.null_count != 0) validity = static_cast<const std::uint8_t*>(array.buffers[0]);
    if (layout == Layout::view) {
        offsets = array.buffers[1];
        view_buffers = reinterpret_cast<const std::uint8_t* const*>(array.buffers + 2);
    } else {
        offsets = array.buffers[1];
        data = static_cast<const std::uint8_t*>(array.buffers[2]);
    }
    if (length == 0) offsets = nullptr;
}

StringChunk::StringChunk(const RowText* rows_in, std::size_t n) : length(n), rows(rows_in) {}

RowText StringChunk::view(std::size_t k) const {
    const std::uint8_t* v = static_cast<const std::uint8_t*>(offsets) + 16 * k;
    std::int32_t size, buffer, start;
    std::memcpy(&size, v, 4);
    if (size <= 12) return {v + 4, static_cast<std::size_t>(size), true};
    std::memcpy(&buffer, v + 8, 4);
    std::memcpy(&start, v + 12, 4);
    return {view_buffers[buffer] + start, static_cast<std::size_t>(size), true};
}

std::size_t StringChunk::bytes_between(std::size_t begin, std::size_t end) const {
    if (begin >= end) return 0;
    switch (layout) {
        case Layout::small: {
            auto o = static_cast<const std::int32_t*>(offsets);
            return static_cast<std::size_t>(o[end + offset] - o[begin + offset]);
        }
        case Layout::large: {
            auto o = static_cast<const std::int64_t*>(offsets);
            return static_cast<std::size_t>(o[end + offset] - o[begin + offset]);
        }
        default: {
            std::size_t total = 0;
            for (std::size_t i = begin; i < end; ++i) total += row(i).size;
            return total;
        }
    }
}

namespace {

// Rows cut from one well-formed block at character starts are each well-formed.
template <class Offset>
bool block_well_formed(const std::uint8_t* data, const Offset* o, std::size_t begin,
                       std::size_t end) {
    const auto last = static_cast<std::size_t>(o[end]);
    for (std::size_t i = begin; i < end; ++i)
        if (static_cast<std::size_t>(o[i]) < last && (data[o[i]] & 0xC0) == 0x80) return false;
    const auto first = static_cast<std::size_t>(o[begin]);
    return find_fault(data + first, last - first).offset == no_fault;
}

}  // namespace

bool StringChunk::rows_well_formed(std::size_t begin, std::size_t end) const {
    if (begin >= end) return true;
    switch (layout) {
        case Layout::small:
            return block_well_formed(data, static_cast<const std::int32_t*>(offsets) + offset,
                                     begin, end);
        case Layout::large:
            return block_well_formed(data, static_cast<const std::int64_t*>(offsets) + offset,
                                     begin, end);
        default:
            return false;
    }
}

void require_string_format(const char* f) {
    if (std::strcmp(f, "u") != 0 && std::strcmp(f, "U") != 0 && std::strcmp(f, "vu") != 0)
        throw std::invalid_argument(arrow_type_name(f));
}

std::string arrow_type_name(const char* format) {
    static const struct {
        const char* format;
        const char* name;
    } names[] = {
        {"n", "null"},     {"b", "bool"},         {"c", "int8"},         {"C", "uint8"},
        {"s", "int16"},    {"S", "uint16"},       {"i", "int32"},        {"I", "uint32"},
        {"l", "int64"},    {"L", "uint64"},       {"e", "float16"},      {"f", "float32"},
        {"g", "float64"},  {"z", "binary"},       {"Z", "large_binary"}, {"vz", "binary_view"},
        {"u", "string"},   {"U", "large_string"}, {"vu", "string_view"}, {"tdD", "date32"},
        {"tdm", "date64"}, {"+l", "list"},        {"+L", "large_list"},  {"+s", "struct"},
        {"+m", "map"}};
    for (const auto& n : names)
        if (std::strcmp(format, n.format) == 0) return n.name;
    return std::string("Arrow type '") + format + "'";
}

std::size_t TextColumn::rows() const {
    std::size_t n = 0;
    for (const StringChunk& c : chunks) n += c.size();
    return n;
}

std::vector<RowRange> split_rows(const TextColumn& column, std::size_t target_bytes) {
    constexpr std::size_t most_rows = 4096;
    std::vector<RowRange> ranges;
    std::size_t first = 0;
    for (std::size_t c = 0; c < column.chunks.size(); ++c) {
        const StringChunk& chunk = column.chunks[c];
        std::size_t begin = 0;
        while (begin < chunk.size()) {
            // Grow the range in steps of rows until it holds enough text.
            std::size_t end = begin, bytes = 0;
            while (end < chunk.size() && bytes < target_bytes && end - begin < most_rows) {
                const std::size_t step = std::min<std::size_t>(64, chunk.size() - end);
                bytes += chunk.bytes_between(end, end + step);
                end += step;
            }
            ranges.push_back({c, begin, end, first + begin});
            begin = end;
        }
        first += chunk.size();
    }
    return ranges;
}

}  // namespace chopwise::columns
