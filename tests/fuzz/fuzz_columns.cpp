// Fuzz target over the column engine: Arrow-shaped input (offsets and data, with nulls) goes
// through the column tokenizer and the counter, on the calling thread and on two threads, and
// every row must give what the byte path (the core read byte by byte, no window scan) gives
// for that row's text after the error handler.
//
// Input layout: byte 0: rows (low 4 bits, 0..15) and handler (bits 4..5); byte 1: a validity
// mask for the first 8 rows; byte 2: the type filter; then one length byte per row; the rest
// is the data, cut into rows by the lengths (the last row takes what remains).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../native/check.hpp"
#include "../native/core_hooks.hpp"
#include "../native/memory_source.hpp"
#include "columns/malformed.hpp"
#include "columns/token_table.hpp"
#include "columns/word_counts.hpp"
#include "tokenizers/tokenizer_core.hpp"

namespace {

using namespace chopwise::columns;
using native_check::require;

struct Token {
    std::string bytes;
    std::uint64_t type;
};

// The byte path over one text: every token, unfiltered.
std::vector<Token> byte_path(const std::string& text) {
    std::vector<Token> out;
    if (text.empty()) return out;
    chopwise::TokenizerCore<MemorySource> core(
        std::in_place,
        MemorySource(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), 1));
    chopwise::CoreTestHooks::turn_window_scan_off(core);
    do {
        core.fill_batch();
        const char* p = core.batch.text_out;
        for (std::uint32_t k = 0; k < core.batch.token_count; ++k) {
            const std::size_t len = *p == 0 ? 1 : std::strlen(p);
            out.push_back({std::string(p, len), core.batch.types_out[k]});
            p += len + 1;
        }
    } while (!core.batch.has_room());
    return out;
}

struct Case {
    std::vector<std::int32_t> offsets{0};
    std::string data;
    std::uint8_t validity[2] = {0xFF, 0xFF};
    ErrorHandler handler = ErrorHandler::strict;
    std::uint64_t mask = ~std::uint64_t{0};
};

Case parse(const std::uint8_t* p, std::size_t n) {
    Case c;
    if (n < 3) return c;
    const std::size_t rows = p[0] & 15;
    c.handler = static_cast<ErrorHandler>((p[0] >> 4) & 3);
    c.validity[0] = p[1];
    c.mask = p[2] == 0 ? ~std::uint64_t{0} : p[2];
    std::size_t at = 3 + rows;
    if (at > n) return Case{};
    c.data.assign(reinterpret_cast<const char*>(p + at), n - at);
    std::size_t used = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t len = r + 1 == rows
                                    ? c.data.size() - used
                                    : std::min<std::size_t>(p[3 + r], c.data.size() - used);
        used += len;
        c.offsets.push_back(static_cast<std::int32_t>(used));
    }
    return c;
}

bool row_valid(const Case& c, std::size_t r) { return (c.validity[r >> 3] >> (r & 7)) & 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Case c = parse(data, size);
    const std::size_t rows = c.offsets.size() - 1;
    ArrowSchema schema{};
    schema.format = "u";
    ArrowArray array{};
    const void* buffers[3] = {c.validity, c.offsets.data(), c.data.data()};
    array.length = static_cast<std::int64_t>(rows);
    array.null_count = 1;  // read the validity bits
    array.n_buffers = 3;
    array.buffers = buffers;
    TextColumn column;
    column.chunks.emplace_back(schema, array);

    // Expected: the byte path over each row's text after the handler.
    std::vector<std::vector<Token>> expected(rows);
    std::size_t first_bad = no_row, bad_offset = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        if (!row_valid(c, r)) continue;
        const auto* p = reinterpret_cast<const std::uint8_t*>(c.data.data()) + c.offsets[r];
        const std::size_t n = static_cast<std::size_t>(c.offsets[r + 1] - c.offsets[r]);
        std::string text(reinterpret_cast<const char*>(p), n);
        const Utf8Fault f = find_fault(p, n);
        if (f.offset != no_fault) {
            if (first_bad == no_row) first_bad = r, bad_offset = f.offset;
            repair(p, n, f, c.handler, text);
        }
        expected[r] = byte_path(text);
    }
    const TokenizeSettings settings{TokenFilter(c.mask, 0, 512), c.handler};
    const CountSettings count_settings{TokenFilter(c.mask, 0, 512), false, c.handler};
    for (unsigned threads : {0u, 2u}) {
        try {
            auto table = tokenize_column(column, settings, threads, [] {});
            require(c.handler != ErrorHandler::strict || first_bad == no_row,
                    "strict accepted a fault");
            std::size_t k = 0;
            std::map<std::string, std::int64_t> counts;
            for (std::size_t r = 0; r < rows; ++r) {
                std::int64_t pos = 0;
                for (const Token& t : expected[r]) {
                    const auto chars = static_cast<std::int64_t>(char_count(
                        reinterpret_cast<const std::uint8_t*>(t.bytes.data()), t.bytes.size()));
                    if (t.type & c.mask) {
                        require(k < table->tokens, "too few tokens", r);
                        const std::int64_t a = table->offset(k), b = table->offset(k + 1);
                        require(std::string(reinterpret_cast<const char*>(table->text.data()) + a,
                                            static_cast<std::size_t>(b - a)) == t.bytes,
                                "token text", k);
                        const TokenFields& f = table->fields();
                        require(f.types[k] == t.type && f.doc[k] == std::int64_t(r) &&
                                    f.start[k] == pos && f.end[k] == pos + chars,
                                "token fields", k);
                        ++counts[t.bytes];
                        ++k;
                    }
                    pos += chars;
                }
            }
            require(k == table->tokens, "too many tokens");
            require(table->null_rows == 0 || table->row_validity.size() * 8 >= rows, "validity");
            const CountTable got = count_column(column, count_settings, threads, [] {});
            require(got.size() == counts.size(), "distinct counts");
            for (const CountTable::Item& it : got.sorted())
                require(counts[std::string(reinterpret_cast<const char*>(it.key), it.length)] ==
                            it.count,
                        "count");
        } catch (const MalformedText& e) {
            require(
                c.handler == ErrorHandler::strict && e.row == first_bad && e.offset == bad_offset,
                "strict fault at the first bad row and byte", e.row);
        }
    }
    return 0;
}
