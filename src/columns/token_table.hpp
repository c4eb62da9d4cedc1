#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "arrow_export.hpp"
#include "raw_array.hpp"
#include "text_column.hpp"
#include "text_tokens.hpp"
#include "utf8_check.hpp"

namespace chopwise::columns {

// The kept tokens of a column, in the layout Arrow reads in place: token text with offsets
// (32-bit, or 64-bit past 2 GiB), types, row numbers and character offsets in the row; and
// per row, where its tokens begin and whether it was null.
struct TokenTableData {
    std::size_t tokens = 0, rows = 0, null_rows = 0;
    bool large_text = false, large_lists = false;
    RawArray<std::uint8_t> text;
    RawArray<std::uint8_t> offsets;  // tokens + 1 of 4 or 8 bytes
    RawArray<std::uint64_t> types;
    RawArray<std::int64_t> doc, start, end;
    RawArray<std::uint8_t> list_offsets;  // rows + 1 of 4 or 8 bytes
    RawArray<std::uint8_t> row_validity;

    // Byte range of token i in `text`.
    std::int64_t offset(std::size_t i) const;

    ExportNode token_column() const;
    ExportNode table() const;  // struct of token, type, doc, start, end
    ExportNode lists() const;  // list<string>, one per row
};

struct TokenizeSettings {
    TokenFilter filter;
    ErrorHandler errors;
};

// Tokens of every row; `threads` 0 works on the calling thread. Throws MalformedText under
// the strict handler, and whatever `wait` throws (run_tasks).
std::shared_ptr<TokenTableData> tokenize_column(const TextColumn& column,
                                                const TokenizeSettings& settings, unsigned threads,
                                                const std::function<void()>& wait);

}  // namespace chopwise::columns
