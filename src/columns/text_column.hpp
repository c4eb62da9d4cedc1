#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "arrow_abi.hpp"

namespace chopwise::columns {

// One row's bytes; a null row has no bytes and `valid` false.
struct RowText {
    const std::uint8_t* data;
    std::size_t size;
    bool valid;
};

// A run of rows read in place: an Arrow string, large_string or string_view array, or rows
// that the caller keeps alive.
class StringChunk {
public:
    // Throws std::invalid_argument naming the type when the array holds no strings.
    StringChunk(const ArrowSchema& schema, const ArrowArray& array);
    StringChunk(const RowText* rows, std::size_t n);

    std::size_t size() const { return length; }
    RowText row(std::size_t i) const {
        const std::size_t k = i + offset;
        if (validity != nullptr && !((validity[k >> 3] >> (k & 7)) & 1)) return {nullptr, 0, false};
        switch (layout) {
            case Layout::small:
                return span(static_cast<const std::int32_t*>(offsets), k);
            case Layout::large:
                return span(static_cast<const std::int64_t*>(offsets), k);
            case Layout::view:
                return view(k);
            default:
                return rows[i];
        }
    }
    // The text bytes the rows [begin, end) hold, for splitting work by size.
    std::size_t bytes_between(std::size_t begin, std::size_t end) const;
    // Whether every row of [begin, end) is known well-formed UTF-8 from one look at the bytes
    // they share: false when they are not in one block (a view array, rows apart) or when the
    // block has a fault or a row starting inside a character, and then each row is to be checked.
    bool rows_well_formed(std::size_t begin, std::size_t end) const;

private:
    enum class Layout { small, large, view, rows };

    template <class Offset>
    RowText span(const Offset* o, std::size_t k) const {
        return {data + o[k], static_cast<std::size_t>(o[k + 1] - o[k]), true};
    }
    RowText view(std::size_t k) const;

    Layout layout = Layout::rows;
    std::size_t length = 0, offset = 0;
    const std::uint8_t* validity = nullptr;
    const void* offsets = nullptr;
    const std::uint8_t* data = nullptr;
    const std::uint8_t* const* view_buffers = nullptr;
    const RowText* rows = nullptr;
};

// Throws std::invalid_argument naming the type unless the format is of a string type.
void require_string_format(const char* format);

// A readable name of the Arrow type with this format string.
std::string arrow_type_name(const char* format);

// Rows of one or more chunks, numbered across them.
struct TextColumn {
    std::vector<StringChunk> chunks;
    std::size_t rows() const;
};

// A contiguous run of rows of one chunk: the unit of work of the threads.
struct RowRange {
    std::size_t chunk, begin, end;
    std::size_t first_row;  // number of row `begin` in the whole column
};

// Cuts the column into ranges of about `target_bytes` text each (and at most a few thousand
// rows), in row order.
std::vector<RowRange> split_rows(const TextColumn& column, std::size_t target_bytes);

}  // namespace chopwise::columns
