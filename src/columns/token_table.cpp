#include "token_table.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "malformed.hpp"
#include "workers.hpp"

namespace chopwise::columns {
namespace {

// The tokens of one range of rows, gathered by one worker.
struct RangeTokens {
    std::vector<std::uint8_t> text;
    std::vector<std::uint32_t> lengths, chars;
    std::vector<std::uint64_t> types;
    std::vector<std::int64_t> starts;
    std::vector<std::uint32_t> row_tokens;
    std::vector<std::uint8_t> row_valid;
};

struct Worker {
    std::optional<TextTokenizer> tokenizer;
    std::string repaired;
};

// Rows between two looks at the cancel flag, besides the core's own polls.
constexpr std::size_t rows_per_check = 256;
constexpr std::size_t range_bytes = std::size_t{64} << 10;

class ColumnTokenizer {
public:
    ColumnTokenizer(const TextColumn& column, const TokenizeSettings& settings, unsigned threads)
        : column(column),
          settings(settings),
          ranges(split_rows(column, range_bytes)),
          results(ranges.size()),
          failures(ranges.size()),
          workers(std::max(threads, 1u)) {}

    void run(std::size_t i, const TaskContext& context) {
        if (failures.after_failure(i)) return;
        Worker& w = workers[context.worker_id()];
        if (!w.tokenizer) w.tokenizer.emplace();
        const RowRange& r = ranges[i];
        const StringChunk& chunk = column.chunks[r.chunk];
        RangeTokens& out = results[i];
        const std::size_t n = r.end - r.begin;
        out.row_tokens.resize(n);
        out.row_valid.resize(n);
        // Room for the usual share of tokens, so the buffers seldom move while they fill.
        const std::size_t bytes = chunk.bytes_between(r.begin, r.end);
        const std::size_t tokens = bytes / 3 + 16;
        out.text.reserve(bytes + 64);
        out.lengths.reserve(tokens);
        out.chars.reserve(tokens);
        out.types.reserve(tokens);
        out.starts.reserve(tokens);
        auto poll = [&context] { context.check(); };
        for (std::size_t j = 0; j < n; ++j) {
            if (j % rows_per_check == 0) context.check();
            const RowText row = chunk.row(r.begin + j);
            out.row_valid[j] = row.valid;
            const std::size_t before = out.types.size();
            if (row.valid && !tokenize_row(row, r.first_row + j, w, out, poll, i)) return;
            out.row_tokens[j] = static_cast<std::uint32_t>(out.types.size() - before);
        }
    }

    std::size_t range_count() const { return ranges.size(); }

    std::shared_ptr<TokenTableData> assemble(unsigned threads, const std::function<void()>& wait);

    void raise_first_failure() const { failures.raise(); }

private:
    bool tokenize_row(const RowText& row, std::size_t row_number, Worker& w, RangeTokens& out,
                      const std::function<void()>& poll, std::size_t task) {
        const std::uint8_t* p = row.data;
        std::size_t n = row.size;
        const Utf8Fault fault = find_fault(p, n);
        if (fault.offset != no_fault) {
            if (settings.errors == ErrorHandler::strict) {
                failures.record(task, malformed_at(row_number, 0, p, n, fault));
                return false;
            }
            repair(p, n, fault, settings.errors, w.repaired);
            p = reinterpret_cast<const std::uint8_t*>(w.repaired.data());
            n = w.repaired.size();
        }
        std::int64_t pos = 0;
        w.tokenizer->tokenize(
            p, n,
            [&](const std::uint8_t* t, std::size_t len, std::uint64_t type) {
                const std::uint32_t chars = char_count(t, len);
                if (settings.filter.keeps(chars, type)) {
                    out.text.insert(out.text.end(), t, t + len);
                    out.lengths.push_back(static_cast<std::uint32_t>(len));
                    out.chars.push_back(chars);
                    out.types.push_back(type);
                    out.starts.push_back(pos);
                }
                pos += chars;
            },
            poll);
        return true;
    }

    const TextColumn& column;
    const TokenizeSettings& settings;
    const std::vector<RowRange> ranges;
    std::vector<RangeTokens> results;
    FirstFailure failures;
    std::vector<Worker> workers;
};

template <class Offset>
void write_offsets(RawArray<std::uint8_t>& block, std::size_t at, std::int64_t base,
                   const std::vector<std::uint32_t>& lengths) {
    Offset* o = reinterpret_cast<Offset*>(block.data()) + at;
    for (std::uint32_t len : lengths) {
        *o++ = static_cast<Offset>(base);
        base += len;
    }
}

template <class Offset>
void write_last(RawArray<std::uint8_t>& block, std::size_t at, std::int64_t value) {
    reinterpret_cast<Offset*>(block.data())[at] = static_cast<Offset>(value);
}

}  // namespace

std::shared_ptr<TokenTableData> ColumnTokenizer::assemble(unsigned threads,
                                                          const std::function<void()>& wait) {
    auto table = std::make_shared<TokenTableData>();
    TokenTableData& t = *table;
    std::vector<std::size_t> token_base(results.size() + 1), byte_base(results.size() + 1);
    for (std::size_t i = 0; i < results.size(); ++i) {
        token_base[i + 1] = token_base[i] + results[i].types.size();
        byte_base[i + 1] = byte_base[i] + results[i].text.size();
    }
    t.tokens = token_base.back();
    t.rows = column.rows();
    const auto int32_max = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    t.large_text = byte_base.back() > int32_max;
    t.large_lists = t.tokens > int32_max;
    t.text = RawArray<std::uint8_t>(byte_base.back());
    t.offsets = RawArray<std::uint8_t>((t.tokens + 1) * (t.large_text ? 8 : 4));
    t.types = RawArray<std::uint64_t>(t.tokens);
    t.doc = RawArray<std::int64_t>(t.tokens);
    t.start = RawArray<std::int64_t>(t.tokens);
    t.end = RawArray<std::int64_t>(t.tokens);
    t.list_offsets = RawArray<std::uint8_t>((t.rows + 1) * (t.large_lists ? 8 : 4));

    for (const RangeTokens& r : results)
        t.null_rows +=
            static_cast<std::size_t>(std::count(r.row_valid.begin(), r.row_valid.end(), 0));
    if (t.null_rows != 0) {
        t.row_validity = RawArray<std::uint8_t>((t.rows + 7) / 8);
        std::memset(t.row_validity.data(), 0, t.row_validity.size());
        std::size_t row = 0;
        for (const RangeTokens& r : results)
            for (std::uint8_t valid : r.row_valid) {
                if (valid) t.row_validity[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7));
                ++row;
            }
    }
    auto copy = [&](std::size_t i, const TaskContext&) {
        RangeTokens& r = results[i];
        const std::size_t tb = token_base[i];
        std::memcpy(t.text.data() + byte_base[i], r.text.data(), r.text.size());
        if (t.large_text)
            write_offsets<std::int64_t>(t.offsets, tb, byte_base[i], r.lengths);
        else
            write_offsets<std::int32_t>(t.offsets, tb, byte_base[i], r.lengths);
        std::memcpy(t.types.data() + tb, r.types.data(), r.types.size() * 8);
        for (std::size_t k = 0; k < r.starts.size(); ++k) {
            t.start[tb + k] = r.starts[k];
            t.end[tb + k] = r.starts[k] + r.chars[k];
        }
        std::size_t k = tb;
        const RowRange& range = ranges[i];
        for (std::size_t j = 0; j < r.row_tokens.size(); ++j) {
            const std::size_t row = range.first_row + j;
            if (t.large_lists)
                write_last<std::int64_t>(t.list_offsets, row, static_cast<std::int64_t>(k));
            else
                write_last<std::int32_t>(t.list_offsets, row, static_cast<std::int64_t>(k));
            for (std::uint32_t m = 0; m < r.row_tokens[j]; ++m)
                t.doc[k++] = static_cast<std::int64_t>(row);
        }
        r = RangeTokens{};
    };
    run_tasks(results.size(), results.size() > 1 ? threads : 0, copy, wait);

    const auto total_bytes = static_cast<std::int64_t>(byte_base.back());
    if (t.large_text)
        write_last<std::int64_t>(t.offsets, t.tokens, total_bytes);
    else
        write_last<std::int32_t>(t.offsets, t.tokens, total_bytes);
    const auto total_tokens = static_cast<std::int64_t>(t.tokens);
    if (t.large_lists)
        write_last<std::int64_t>(t.list_offsets, t.rows, total_tokens);
    else
        write_last<std::int32_t>(t.list_offsets, t.rows, total_tokens);
    return table;
}

std::shared_ptr<TokenTableData> tokenize_column(const TextColumn& column,
                                                const TokenizeSettings& settings, unsigned threads,
                                                const std::function<void()>& wait) {
    ColumnTokenizer tokenizer(column, settings, threads);
    run_tasks(
        tokenizer.range_count(), threads,
        [&](std::size_t i, const TaskContext& c) { tokenizer.run(i, c); }, wait);
    tokenizer.raise_first_failure();
    return tokenizer.assemble(threads, wait);
}

}  // namespace chopwise::columns

namespace chopwise::columns {

std::int64_t TokenTableData::offset(std::size_t i) const {
    if (large_text) return reinterpret_cast<const std::int64_t*>(offsets.data())[i];
    return reinterpret_cast<const std::int32_t*>(offsets.data())[i];
}

namespace {

ExportNode column_of(const char* format, const char* name, std::size_t length,
                     std::vector<const void*> buffers) {
    ExportNode n;
    n.format = format;
    n.name = name;
    n.length = static_cast<std::int64_t>(length);
    n.buffers = std::move(buffers);
    return n;
}

}  // namespace

ExportNode TokenTableData::token_column() const {
    return column_of(large_text ? "U" : "u", "token", tokens,
                     {nullptr, offsets.data(), text.data()});
}

ExportNode TokenTableData::table() const {
    ExportNode s = column_of("+s", "", tokens, {nullptr});
    s.children.push_back(token_column());
    s.children.push_back(column_of("L", "type", tokens, {nullptr, types.data()}));
    s.children.push_back(column_of("l", "doc", tokens, {nullptr, doc.data()}));
    s.children.push_back(column_of("l", "start", tokens, {nullptr, start.data()}));
    s.children.push_back(column_of("l", "end", tokens, {nullptr, end.data()}));
    return s;
}

ExportNode TokenTableData::lists() const {
    ExportNode l = column_of(large_lists ? "+L" : "+l", "tokens", rows,
                             {null_rows != 0 ? row_validity.data() : nullptr, list_offsets.data()});
    l.null_count = static_cast<std::int64_t>(null_rows);
    ExportNode item = token_column();
    item.name = "item";
    l.children.push_back(std::move(item));
    return l;
}

}  // namespace chopwise::columns
