#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "arrow_export.hpp"
#include "raw_array.hpp"
#include "text_column.hpp"
#include "text_tokens.hpp"
#include "utf8_check.hpp"

namespace chopwise::columns {

// The per-token fields of a table besides the text: type bits, row number and character
// offsets in the row.
struct TokenFields {
    RawArray<std::uint64_t> types;
    RawArray<std::int64_t> doc, start, end;
};

// The kept tokens of a column, in the layout Arrow reads in place: token text with offsets
// (32-bit, or 64-bit past 2 GiB) and per row, where its tokens begin and whether it was null.
// The wide fields are made from a compact form (a class index and the characters skipped
// before each token) on first use, so a caller that wants only the lists never pays for them.
struct TokenTableData {
    // A gap of this value or more is kept in `long_gaps` instead.
    static constexpr std::uint16_t gap_escape = 0xFFFF;

    std::size_t tokens = 0, rows = 0, null_rows = 0;
    bool large_text = false, large_lists = false;
    RawArray<std::uint8_t> text;
    RawArray<std::uint8_t> offsets;       // tokens + 1 of 4 or 8 bytes
    RawArray<std::uint8_t> list_offsets;  // rows + 1 of 4 or 8 bytes
    RawArray<std::uint8_t> row_validity;
    RawArray<std::uint8_t> classes;  // index into token_types
    RawArray<std::uint16_t> gaps;    // characters between the token and the kept one before it
    std::vector<std::pair<std::size_t, std::int64_t>> long_gaps;  // (token, gap), by token

    // Byte range of token i in `text`.
    std::int64_t offset(std::size_t i) const;
    std::int64_t list_offset(std::size_t row) const;

    // Made once, on the first call from any thread.
    const TokenFields& fields() const;

    ExportNode token_column() const;
    ExportNode table() const;  // struct of token, type, doc, start, end
    ExportNode lists() const;  // list<string>, one per row

private:
    mutable std::once_flag made;
    mutable std::unique_ptr<TokenFields> wide;
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
