#include "token_table.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "../charlayer/token_type.hpp"
#include "../tokens/token_buffer.hpp"
#include "malformed.hpp"
#include "workers.hpp"

namespace chopwise::columns {
namespace {

static_assert(TokenBuffer::byte_capacity <= 0xFFFF, "a token's length fits 16 bits");

// Type bits -> class index, from the one list of types.
constexpr std::size_t type_bits_bound = 128;
static_assert(
    [] {
        for (const TokenTypeInfo& info : token_types)
            if (type_bits(info.type) >= type_bits_bound) return false;
        return true;
    }(),
    "type bits index a small table");
constexpr std::array<std::uint8_t, type_bits_bound> class_by_bits = [] {
    std::array<std::uint8_t, type_bits_bound> a{};
    for (std::size_t i = 0; i < class_count; ++i)
        a[type_bits(token_types[i].type)] = static_cast<std::uint8_t>(i);
    return a;
}();

// The tokens of a range a worker has tokenized, before they go to their place in the table. A
// worker keeps these buffers from range to range, so their pages are touched once.
struct RangeTokens {
    std::vector<std::uint8_t> text;
    std::vector<std::uint16_t> lengths, gaps;
    std::vector<std::uint8_t> classes;
    std::vector<std::pair<std::size_t, std::int64_t>> long_gaps;  // (token of the range, gap)
    std::vector<std::uint32_t> row_tokens;
    std::vector<std::uint8_t> row_valid;

    void clear() {
        text.clear();
        lengths.clear();
        gaps.clear();
        classes.clear();
        long_gaps.clear();
        row_tokens.clear();
        row_valid.clear();
    }
};

// A worker's ranges tokenized but not yet copied to the table: while the range before one is
// still being tokenized elsewhere, the worker goes on with the next ones, up to this many and
// while they hold less text than this (a range of long rows is not held beside others).
constexpr std::size_t ranges_held = 4;
constexpr std::size_t held_text_bytes = std::size_t{4} << 20;

struct Worker {
    std::optional<TextTokenizer> tokenizer;
    std::string repaired;
    struct Held {
        RangeTokens tokens;
        std::size_t range = 0;
    };
    std::array<Held, ranges_held> buffers;
    std::size_t held = 0;  // buffers [0, held) wait for their place

    bool may_take_a_range() const {
        std::size_t bytes = 0;
        for (std::size_t b = 0; b < held; ++b) bytes += buffers[b].tokens.text.size();
        return held < ranges_held && bytes < held_text_bytes;
    }
};

constexpr auto int32_limit = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

template <class Offset>
void put(RawArray<std::uint8_t>& block, std::size_t at, std::size_t value) {
    reinterpret_cast<Offset*>(block.data())[at] = static_cast<Offset>(value);
}

template <class Offset>
std::int64_t get(const RawArray<std::uint8_t>& block, std::size_t at) {
    return reinterpret_cast<const Offset*>(block.data())[at];
}

// A block of `capacity` offsets holding the first `used` of `from`, widened when asked.
RawArray<std::uint8_t> moved_offsets(const RawArray<std::uint8_t>& from, bool from_large,
                                     bool to_large, std::size_t used, std::size_t capacity) {
    RawArray<std::uint8_t> to(capacity * (to_large ? 8 : 4));
    if (from_large == to_large) {
        std::memcpy(to.data(), from.data(), used * (to_large ? 8 : 4));
    } else {
        for (std::size_t i = 0; i < used; ++i)
            put<std::int64_t>(to, i, static_cast<std::size_t>(get<std::int32_t>(from, i)));
    }
    return to;
}

template <class T>
RawArray<T> moved(const RawArray<T>& from, std::size_t used, std::size_t capacity) {
    RawArray<T> to(capacity);
    std::memcpy(to.data(), from.data(), used * sizeof(T));
    return to;
}

// memcpy of a vector's values, which may be none (and data() null).
template <class T>
void copy_to(T* to, const std::vector<T>& from) {
    if (!from.empty()) std::memcpy(to, from.data(), from.size() * sizeof(T));
}

// Arrow offsets from `at` on: the running sum of `sizes`, starting at `base` (token lengths
// give string offsets, tokens per row give list offsets).
template <class Offset, class Size>
void write_offsets(RawArray<std::uint8_t>& block, std::size_t at, std::size_t base,
                   const std::vector<Size>& sizes) {
    Offset* o = reinterpret_cast<Offset*>(block.data()) + at;
    for (Size n : sizes) {
        *o++ = static_cast<Offset>(base);
        base += n;
    }
}

// Where a range's tokens go in the table.
struct Place {
    std::size_t bytes, tokens;
};

// The table as ranges fill it: each takes its place in row order, then copies its tokens
// there, in any order and on any thread. The blocks are sized from the input and grow (or
// widen their offsets) only when a range would pass them; a move waits for the copies under way.
class TableBuilder {
public:
    TableBuilder(std::size_t rows, std::size_t input_bytes)
        : t(std::make_shared<TokenTableData>()),
          text_room(input_bytes + 16),
          token_room(input_bytes / 2 + 16),
          valid(rows) {
        t->rows = rows;
        t->text = RawArray<std::uint8_t>(text_room);
        t->offsets = RawArray<std::uint8_t>((token_room + 1) * 4);
        t->classes = RawArray<std::uint8_t>(token_room);
        t->gaps = RawArray<std::uint16_t>(token_room);
        t->list_offsets = RawArray<std::uint8_t>((rows + 1) * 4);
    }

    // Called in range order.
    Place reserve(std::size_t bytes, std::size_t tokens) {
        const Place p{bytes_used, tokens_used};
        bytes_used += bytes;
        tokens_used += tokens;
        const bool large_text = bytes_used > int32_limit, large_lists = tokens_used > int32_limit;
        if (bytes_used > text_room || tokens_used > token_room || large_text != t->large_text ||
            large_lists != t->large_lists) {
            const std::unique_lock<std::shared_mutex> hold(moving);
            grow(p, large_text, large_lists);
        }
        return p;
    }

    void fill(const RangeTokens& r, const Place& p, const RowRange& range) {
        const std::shared_lock<std::shared_mutex> hold(moving);
        TokenTableData& d = *t;
        copy_to(d.text.data() + p.bytes, r.text);
        if (d.large_text)
            write_offsets<std::int64_t>(d.offsets, p.tokens, p.bytes, r.lengths);
        else
            write_offsets<std::int32_t>(d.offsets, p.tokens, p.bytes, r.lengths);
        copy_to(d.classes.data() + p.tokens, r.classes);
        copy_to(d.gaps.data() + p.tokens, r.gaps);
        if (d.large_lists)
            write_offsets<std::int64_t>(d.list_offsets, range.first_row, p.tokens, r.row_tokens);
        else
            write_offsets<std::int32_t>(d.list_offsets, range.first_row, p.tokens, r.row_tokens);
        copy_to(valid.data() + range.first_row, r.row_valid);
        if (!r.long_gaps.empty()) {
            const std::lock_guard<std::mutex> hold_gaps(long_gaps_lock);
            for (const auto& [k, gap] : r.long_gaps) d.long_gaps.emplace_back(p.tokens + k, gap);
        }
    }

    std::shared_ptr<TokenTableData> finish() {
        TokenTableData& d = *t;
        d.tokens = tokens_used;
        if (d.large_text)
            put<std::int64_t>(d.offsets, d.tokens, bytes_used);
        else
            put<std::int32_t>(d.offsets, d.tokens, bytes_used);
        if (d.large_lists)
            put<std::int64_t>(d.list_offsets, d.rows, d.tokens);
        else
            put<std::int32_t>(d.list_offsets, d.rows, d.tokens);
        d.null_rows = static_cast<std::size_t>(
            std::count(valid.data(), valid.data() + d.rows, std::uint8_t{0}));
        if (d.null_rows != 0) {
            d.row_validity = RawArray<std::uint8_t>((d.rows + 7) / 8);
            std::memset(d.row_validity.data(), 0, d.row_validity.size());
            for (std::size_t row = 0; row < d.rows; ++row)
                if (valid[row])
                    d.row_validity[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7));
        }
        std::sort(d.long_gaps.begin(), d.long_gaps.end());
        return t;
    }

private:
    // The blocks before range `p` hold what earlier ranges copied; the rest is not yet written.
    void grow(const Place& p, bool large_text, bool large_lists) {
        TokenTableData& d = *t;
        if (bytes_used > text_room) {
            text_room = std::max(bytes_used, text_room + text_room / 2);
            d.text = moved(d.text, p.bytes, text_room);
        }
        const std::size_t old_room = token_room;
        if (tokens_used > token_room) {
            token_room = std::max(tokens_used, token_room + token_room / 2);
            d.classes = moved(d.classes, p.tokens, token_room);
            d.gaps = moved(d.gaps, p.tokens, token_room);
        }
        if (token_room != old_room || large_text != d.large_text) {
            d.offsets =
                moved_offsets(d.offsets, d.large_text, large_text, p.tokens, token_room + 1);
            d.large_text = large_text;
        }
        if (large_lists != d.large_lists) {
            d.list_offsets =
                moved_offsets(d.list_offsets, d.large_lists, large_lists, d.rows + 1, d.rows + 1);
            d.large_lists = large_lists;
        }
    }

    std::shared_ptr<TokenTableData> t;
    std::size_t text_room, token_room;
    std::size_t bytes_used = 0, tokens_used = 0;
    RawArray<std::uint8_t> valid;  // one byte a row
    std::shared_mutex moving;
    std::mutex long_gaps_lock;
};

// Rows between two looks at the cancel flag, besides the core's own polls.
constexpr std::size_t rows_per_check = 256;
constexpr std::size_t range_bytes = std::size_t{64} << 10;

std::size_t input_bytes(const TextColumn& column, const std::vector<RowRange>& ranges) {
    std::size_t n = 0;
    for (const RowRange& r : ranges) n += column.chunks[r.chunk].bytes_between(r.begin, r.end);
    return n;
}

class ColumnTokenizer {
public:
    ColumnTokenizer(const TextColumn& column, const TokenizeSettings& settings, unsigned threads)
        : column(column),
          settings(settings),
          ranges(split_rows(column, range_bytes)),
          failures(ranges.size()),
          workers(std::max(threads, 1u)),
          builder(column.rows(), input_bytes(column, ranges)) {}

    // Tokenizes range i into a free buffer of the worker, offers it its place, and copies every
    // held range whose place is known. Only when it may hold no more does a worker wait.
    void run(std::size_t i, const TaskContext& context) {
        Worker& w = workers[context.worker_id()];
        if (!w.tokenizer) w.tokenizer.emplace();
        while (!w.may_take_a_range()) {
            context.check();
            if (!copy_placed(w)) std::this_thread::yield();
        }
        RangeTokens& out = w.buffers[w.held].tokens;
        out.clear();
        // A range at or after a failure adds nothing: the call raises.
        if (failures.after_failure(i) || !tokenize_range(i, w, out, context)) out.clear();
        w.buffers[w.held++].range = i;
        offer(i, out);
        copy_placed(w);
    }

    std::size_t range_count() const { return ranges.size(); }
    void raise_first_failure() const { failures.raise(); }
    // Once every range has run: the held ones all have their places by then.
    std::shared_ptr<TokenTableData> finish() {
        for (Worker& w : workers) copy_placed(w);
        return builder.finish();
    }

private:
    // Range i is tokenized: it, and every range after it already done, take their places in
    // row order, whichever thread gets here.
    void offer(std::size_t i, const RangeTokens& out) {
        const std::lock_guard<std::mutex> hold(placing);
        sizes[i] = {out.text.size(), out.classes.size(), true};
        for (; next_place < ranges.size() && sizes[next_place].done; ++next_place) {
            places[next_place] = builder.reserve(sizes[next_place].bytes, sizes[next_place].tokens);
            placed[next_place].store(true, std::memory_order_release);
        }
    }

    // Copies the worker's held ranges that have their places; whether any did.
    bool copy_placed(Worker& w) {
        bool copied = false;
        for (std::size_t b = 0; b < w.held;) {
            const std::size_t i = w.buffers[b].range;
            if (!placed[i].load(std::memory_order_acquire)) {
                ++b;
                continue;
            }
            builder.fill(w.buffers[b].tokens, places[i], ranges[i]);
            copied = true;
            --w.held;  // the last held buffer takes the freed one's slot
            std::swap(w.buffers[b], w.buffers[w.held]);
        }
        return copied;
    }

    bool tokenize_range(std::size_t i, Worker& w, RangeTokens& out, const TaskContext& context) {
        const RowRange& r = ranges[i];
        const StringChunk& chunk = column.chunks[r.chunk];
        const std::size_t n = r.end - r.begin;
        out.row_tokens.resize(n);
        out.row_valid.resize(n);
        auto poll = [&context] { context.check(); };
        const bool checked = chunk.rows_well_formed(r.begin, r.end);
        for (std::size_t j = 0; j < n; ++j) {
            if (j % rows_per_check == 0) context.check();
            const RowText row = chunk.row(r.begin + j);
            out.row_valid[j] = row.valid;
            const std::size_t before = out.classes.size();
            if (row.valid && !tokenize_row(row, r.first_row + j, checked, w, out, poll, i))
                return false;
            out.row_tokens[j] = static_cast<std::uint32_t>(out.classes.size() - before);
        }
        return true;
    }

    bool tokenize_row(const RowText& row, std::size_t row_number, bool checked, Worker& w,
                      RangeTokens& out, const std::function<void()>& poll, std::size_t task) {
        const std::uint8_t* p = row.data;
        std::size_t n = row.size;
        const Utf8Fault fault = checked ? Utf8Fault{no_fault, 0, nullptr} : find_fault(p, n);
        if (fault.offset != no_fault) {
            if (settings.errors == ErrorHandler::strict) {
                failures.record(task, malformed_at(row_number, 0, p, n, fault));
                return false;
            }
            repair(p, n, fault, settings.errors, w.repaired);
            p = reinterpret_cast<const std::uint8_t*>(w.repaired.data());
            n = w.repaired.size();
        }
        const BatchCursor keep = settings.filter.cursor();
        std::int64_t pos = 0, kept_end = 0;
        w.tokenizer->tokenize(
            p, n,
            [&](const std::uint8_t* t, std::size_t len, std::uint64_t type) {
                const std::uint32_t chars = char_count(t, len);
                if (keep.keeps(chars, static_cast<TokenType>(type))) {
                    out.text.insert(out.text.end(), t, t + len);
                    out.lengths.push_back(static_cast<std::uint16_t>(len));
                    out.classes.push_back(class_by_bits[type % type_bits_bound]);
                    const std::int64_t gap = pos - kept_end;
                    if (gap < TokenTableData::gap_escape) {
                        out.gaps.push_back(static_cast<std::uint16_t>(gap));
                    } else {
                        out.gaps.push_back(TokenTableData::gap_escape);
                        out.long_gaps.emplace_back(out.classes.size() - 1, gap);
                    }
                    kept_end = pos + chars;
                }
                pos += chars;
            },
            poll);
        return true;
    }

    const TextColumn& column;
    const TokenizeSettings& settings;
    const std::vector<RowRange> ranges;
    FirstFailure failures;
    std::vector<Worker> workers;
    TableBuilder builder;
    struct Size {
        std::size_t bytes = 0, tokens = 0;
        bool done = false;
    };
    std::mutex placing;  // over sizes, places and next_place
    std::vector<Size> sizes = std::vector<Size>(ranges.size());
    std::vector<Place> places = std::vector<Place>(ranges.size());
    std::size_t next_place = 0;
    const std::unique_ptr<std::atomic<bool>[]> placed{new std::atomic<bool>[ranges.size()]()};
};

}  // namespace

std::shared_ptr<TokenTableData> tokenize_column(const TextColumn& column,
                                                const TokenizeSettings& settings, unsigned threads,
                                                const std::function<void()>& wait) {
    ColumnTokenizer tokenizer(column, settings, threads);
    run_tasks(
        tokenizer.range_count(), threads,
        [&](std::size_t i, const TaskContext& c) { tokenizer.run(i, c); }, wait);
    tokenizer.raise_first_failure();
    return tokenizer.finish();
}

}  // namespace chopwise::columns

namespace chopwise::columns {

std::int64_t TokenTableData::offset(std::size_t i) const {
    return large_text ? get<std::int64_t>(offsets, i) : get<std::int32_t>(offsets, i);
}

std::int64_t TokenTableData::list_offset(std::size_t row) const {
    return large_lists ? get<std::int64_t>(list_offsets, row)
                       : get<std::int32_t>(list_offsets, row);
}

const TokenFields& TokenTableData::fields() const {
    std::call_once(made, [this] {
        auto f = std::make_unique<TokenFields>();
        f->types = RawArray<std::uint64_t>(tokens);
        f->doc = RawArray<std::int64_t>(tokens);
        f->start = RawArray<std::int64_t>(tokens);
        f->end = RawArray<std::int64_t>(tokens);
        auto long_gap = long_gaps.begin();
        std::size_t k = 0;
        for (std::size_t row = 0; row < rows; ++row) {
            const auto last = static_cast<std::size_t>(list_offset(row + 1));
            std::int64_t pos = 0;
            for (; k < last; ++k) {
                std::int64_t gap = gaps[k];
                if (gap == gap_escape) gap = (long_gap++)->second;
                const std::int64_t a = offset(k), b = offset(k + 1);
                f->types[k] = type_bits(token_types[classes[k]].type);
                f->doc[k] = static_cast<std::int64_t>(row);
                f->start[k] = pos += gap;
                f->end[k] = pos += char_count(text.data() + a, static_cast<std::size_t>(b - a));
            }
        }
        wide = std::move(f);
    });
    return *wide;
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
    const TokenFields& f = fields();
    ExportNode s = column_of("+s", "", tokens, {nullptr});
    s.children.push_back(token_column());
    s.children.push_back(column_of("L", "type", tokens, {nullptr, f.types.data()}));
    s.children.push_back(column_of("l", "doc", tokens, {nullptr, f.doc.data()}));
    s.children.push_back(column_of("l", "start", tokens, {nullptr, f.start.data()}));
    s.children.push_back(column_of("l", "end", tokens, {nullptr, f.end.data()}));
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
