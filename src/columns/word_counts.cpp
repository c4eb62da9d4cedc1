#include "word_counts.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>

#include "../charlayer/word_bytes.hpp"
#include "malformed.hpp"
#include "workers.hpp"

namespace chopwise::columns {

// --- the table --------------------------------------------------------------------------

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "inline keys are compared as little-endian words of their bytes");

std::uint64_t hash_bytes(const std::uint8_t* p, std::size_t n) {
    std::uint64_t h = 0x9E3779B97F4A7C15u ^ n;
    for (; n >= 8; p += 8, n -= 8) {
        h = (h ^ load8(p)) * 0xBF58476D1CE4E5B9u;
        h ^= h >> 31;
    }
    h = (h ^ small_word(p, n)) * 0x94D049BB133111EBu;
    h ^= h >> 29;
    return h * 0xBF58476D1CE4E5B9u;
}

// The three products are independent; the mix after them brings their high bits down, for the
// last product to carry every bit up to the high ones, which are all the table uses.
std::uint64_t hash_words(const std::uint64_t (&w)[3], std::size_t n) {
    std::uint64_t h = (w[0] ^ 0x9E3779B97F4A7C15u) * 0xBF58476D1CE4E5B9u ^
                      (w[1] ^ 0x94D049BB133111EBu) * 0xD6E8FEB86659FD93u ^
                      w[2] * 0xA0761D6478BD642Fu ^ n;
    h ^= h >> 32;
    return h * 0xE7037ED1A0B428DBu;
}

constexpr std::size_t first_slots = 1024;

// A used slot: the hash's high half beside the entry's index + 1 (0 is a free slot).
std::uint64_t slot_of(std::uint64_t hash, std::size_t entry) {
    return hash >> 32 << 32 | (entry + 1);
}
std::size_t entry_in(std::uint64_t slot) { return (slot & 0xFFFFFFFFu) - 1; }

// Where a key's probe starts in an index of `slots` slots (a power of two, up to 2^32): the
// hash's high bits, which its slot keeps. So a slot is placed in a larger index without its
// key, and the slots of an index, taken in order, are nearly in order of their places in any
// other.
std::size_t home_of(std::uint64_t hash, std::size_t slots) {
    return static_cast<std::size_t>(hash >> (__builtin_clzll(slots) + 1));
}

// Entries an index of `slots` slots takes: linear probing stays short up to three quarters.
std::size_t load_limit(std::size_t slots) { return slots / 4 * 3; }
constexpr std::size_t most_slots = std::size_t{1} << 32;

}  // namespace

// A key as the table looks it up: up to 24 bytes as three zero-padded words, which hold all
// of it (`bytes` is read only for a longer key).
struct CountTable::Key {
    std::uint64_t words[3];
    const std::uint8_t* bytes;
    std::size_t length;
    std::uint64_t hash;

    Key() = default;
    Key(const std::uint8_t* p, std::size_t n);
};

[[gnu::always_inline]] inline CountTable::Key::Key(const std::uint8_t* p, std::size_t n)
    : words{0, 0, 0}, bytes(p), length(n) {
    // The last word of a key of 8 bytes or more is read from n − 8, the bytes it shares with
    // the word before shifted out.
    if (n < 8) {
        words[0] = small_word(p, n);
    } else if (n <= inline_bytes) {
        words[0] = load8(p);
        if (n > 16) {
            words[1] = load8(p + 8);
            words[2] = load8(p + n - 8) >> (8 * (inline_bytes - n));
        } else if (n > 8) {
            words[1] = load8(p + n - 8) >> (8 * (16 - n));
        }
    } else {
        hash = hash_bytes(p, n);
        return;
    }
    hash = hash_words(words, n);
}

const std::uint8_t* CountTable::key_of(const Entry& e) const {
    if (e.length <= inline_bytes) return e.key;
    return long_keys.data() + load8(e.key);
}

[[gnu::always_inline]] inline std::size_t CountTable::find(const Key& k) const {
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = home_of(k.hash, slots.size());; i = (i + 1) & mask) {
        const std::uint64_t s = slots[i];
        if (s == 0) return i;
        if ((s ^ k.hash) >> 32 != 0) continue;
        const Entry& e = entries[entry_in(s)];
        if (e.length != k.length) continue;
        const bool same =
            k.length <= inline_bytes
                ? ((load8(e.key) ^ k.words[0]) | (load8(e.key + 8) ^ k.words[1]) |
                   (load8(e.key + 16) ^ k.words[2])) == 0
                : std::memcmp(long_keys.data() + load8(e.key), k.bytes, k.length) == 0;
        if (same) return i;
    }
}

[[gnu::always_inline]] inline void CountTable::add_to(std::uint64_t slot, std::int64_t n) {
    sum += n;
    entries[entry_in(slot)].count += n;
}

void CountTable::add_at(std::size_t slot, const Key& k, std::int64_t n) {
    if (slots[slot] != 0) return add_to(slots[slot], n);
    sum += n;
    // A new key: `reserve` made the room, so nothing here allocates.
    Entry e;
    std::memset(&e, 0, sizeof e);
    if (k.length <= inline_bytes) {
        static_assert(sizeof k.words == sizeof e.key, "an inline key is its words");
        std::memcpy(e.key, k.words, sizeof e.key);
    } else {
        const std::uint64_t at = long_keys.size();
        std::memcpy(e.key, &at, 8);
        long_keys.insert(long_keys.end(), k.bytes, k.bytes + k.length);
    }
    e.count = n;
    e.length = static_cast<std::uint32_t>(k.length);
    slots[slot] = slot_of(k.hash, entries.size());
    entries.push_back(e);
}

[[gnu::always_inline]] inline void CountTable::add(const Key& k, std::int64_t n) {
    if (!slots.empty()) {
        const std::uint64_t s = slots[find(k)];
        if (s != 0) return add_to(s, n);
    }
    add_new(k, n);
}

void CountTable::add(const std::uint8_t* key, std::size_t length, std::int64_t n) {
    add(Key(key, length), n);
}

// A slot is only looked at as the first of its key: the entry of a key that probed further
// is not fetched. An entry may straddle two cache lines; its key starts it and its length
// ends it.
[[gnu::always_inline]] inline void CountTable::fetch(std::uint64_t slot_of_hash,
                                                     const std::uint64_t* entry_of_hash) const {
    if (slots.empty()) return;
    const std::uint64_t* index = slots.data();
    __builtin_prefetch(index + home_of(slot_of_hash, slots.size()));
    if (entry_of_hash == nullptr) return;
    const std::uint64_t s = index[home_of(*entry_of_hash, slots.size())];
    if (s == 0 || (s ^ *entry_of_hash) >> 32 != 0) return;
    const Entry& e = entries[entry_in(s)];
    __builtin_prefetch(e.key);
    __builtin_prefetch(&e.length);
}

// Adds of one count each, done a few keys after they are offered: meanwhile the key's slot and
// then its entry are fetched into the cache. The fetches are hints only; every add finds its
// key afresh, in the order offered, so a rebuilt index changes no result. A key is kept by
// value, so its bytes need not outlive `add`. The counts are all in the table once `flush`
// has run; what waits when the object dies is not counted.
class CountTable::Pipeline {
public:
    explicit Pipeline(CountTable& table) : table(table) {}
    void add(const std::uint8_t* key, std::size_t length);
    void flush();
    // Forgets the keys that wait.
    void drop() { first = next; }

private:
    static constexpr std::size_t depth = fetch_ahead;
    // Bytes of a key kept past the inline ones; a longer key waits for none.
    static constexpr std::size_t spill_bytes = 40;
    CountTable& table;
    Key ring[depth];
    std::uint8_t spill[depth][inline_bytes + spill_bytes];
    std::size_t first = 0, next = 0;  // tokens added, offered
};

[[gnu::always_inline]] inline void CountTable::Pipeline::add(const std::uint8_t* key,
                                                             std::size_t length) {
    if (length > inline_bytes + spill_bytes) {  // too long to keep: counted now, after the rest
        flush();
        table.add(Key(key, length), 1);
        return;
    }
    const std::size_t at = next % depth;
    Key& k = ring[at];
    if (next - first == depth) {  // the oldest leaves the place the new key takes
        table.add(k, 1);
        ++first;
    }
    if (length > inline_bytes) {
        std::memcpy(spill[at], key, length);
        key = spill[at];
    }
    k = Key(key, length);
    table.fetch(k.hash,
                next - first >= depth / 2 ? &ring[(next - depth / 2) % depth].hash : nullptr);
    ++next;
}

inline void CountTable::Pipeline::flush() {
    for (; first != next; ++first) table.add(ring[first % depth], 1);
}

void CountTable::add_new(const Key& k, std::int64_t n) {
    if (k.length > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("a key of 4 GiB or more");
    reserve(entries.size() + 1, long_keys.size() + (k.length > inline_bytes ? k.length : 0));
    add_at(find(k), k, n);
}

// Entries visited a few behind the ones whose slot and entry are fetched, as the counting
// pipeline does with tokens: `visit` looks every key up itself.
template <class Visit>
void CountTable::for_each_ahead(const CountTable& from, Visit&& visit) {
    constexpr std::size_t ahead = fetch_ahead;
    std::uint64_t hashes[ahead];
    const std::size_t n = from.entries.size();
    auto key = [&from](std::size_t i) {
        const Entry& e = from.entries[i];
        return Key(from.key_of(e), e.length);
    };
    for (std::size_t i = 0; i < n + ahead; ++i) {
        if (i >= ahead) visit(i - ahead, key(i - ahead));
        if (i < n) {
            hashes[i % ahead] = key(i).hash;
            fetch(hashes[i % ahead], i >= ahead / 2 ? &hashes[(i - ahead / 2) % ahead] : nullptr);
        }
    }
}

TableVector<std::uint64_t> CountTable::make_room(std::size_t n, std::size_t key_bytes) {
    // Slots hold an entry's index + 1 in 32 bits, and place it with the hash's 32 high bits.
    if (n > load_limit(most_slots)) throw std::length_error("too many keys");
    TableVector<std::uint64_t> index;
    if (n > load_limit(slots.size())) {
        std::size_t want = std::max(first_slots, slots.size());
        while (n > load_limit(want)) want *= 2;
        index.reserve(want);
    }
    if (n > entries.capacity()) entries.reserve(std::max(n, 2 * entries.capacity()));
    if (key_bytes > long_keys.capacity())
        long_keys.reserve(std::max(key_bytes, 2 * long_keys.capacity()));
    return index;
}

void CountTable::rebuild(TableVector<std::uint64_t>& index) {
    index.assign(index.capacity(), 0);  // within its capacity: nothing allocates
    slots.swap(index);
    // The old slots, taken in order, land nearly in order: both indexes are read and written
    // as streams, and no key is read.
    const std::size_t mask = slots.size() - 1;
    for (const std::uint64_t s : index) {
        if (s == 0) continue;
        std::size_t i = home_of(s, slots.size());
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = s;
    }
}

void CountTable::reserve(std::size_t n, std::size_t key_bytes) {
    TableVector<std::uint64_t> index = make_room(n, key_bytes);
    if (index.capacity() != 0) rebuild(index);
}

void CountTable::merge(const CountTable& other) {
    if (&other == this) {
        for (Entry& e : entries) e.count *= 2;
        sum *= 2;
        return;
    }
    // Room for every key of `other` being new; but the index moves to the larger one only
    // when the keys that are new fill it, since most keys of the two are usually shared.
    TableVector<std::uint64_t> larger =
        make_room(entries.size() + other.entries.size(), long_keys.size() + other.long_keys.size());
    for_each_ahead(other, [&](std::size_t i, const Key& k) {
        if (entries.size() + 1 > load_limit(slots.size())) rebuild(larger);
        add_at(find(k), k, other.entries[i].count);
    });
}

namespace {

// Padded prefixes that differ order their keys as the bytes do: at the first difference either
// both keys have a byte, or only the longer one has a non-zero byte. Equal ones leave the
// bytes past them to compare, if both keys have some.
// A function object, not a function: std::sort inlines it instead of calling through a pointer.
constexpr auto sorts_before = [](const CountTable::Item& a, const CountTable::Item& b) {
    if (a.count != b.count) return a.count > b.count;
    if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
    if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
    constexpr std::uint32_t seen = sizeof a.prefix;
    const std::uint32_t n = std::min(a.length, b.length);
    const int c = n > seen ? std::memcmp(a.key + seen, b.key + seen, n - seen) : 0;
    return c != 0 ? c < 0 : a.length < b.length;
};

// Below this many items a second thread costs more than it saves.
constexpr std::size_t sort_on_threads_from = std::size_t{1} << 15;

// Items are first dealt into classes by count, most common first: one class for each count
// below this, one before them for all counts above (ordered within by count), one after them
// for counts below 1. The classes sorted one by one, one after another, are the order; a
// class is a unit of work that needs no merge with the others.
constexpr std::int64_t count_classes = 1024;
std::size_t class_of(std::int64_t count) {
    if (count >= count_classes) return 0;
    return count < 1 ? count_classes : static_cast<std::size_t>(count_classes - count);
}

}  // namespace

CountTable::Items CountTable::sorted(unsigned threads, const Ready& ready) const {
    // Where each class starts among the items, and one past the last.
    std::vector<std::size_t> starts(count_classes + 2, 0);
    for (const Entry& e : entries) ++starts[class_of(e.count) + 1];
    for (std::size_t c = 1; c < starts.size(); ++c) starts[c] += starts[c - 1];
    Items items(entries.size());
    {
        std::vector<std::size_t> at(starts.begin(), starts.end() - 1);
        // Inline keys are zero-padded to 24 bytes and longer ones have more: 16 bytes to read.
        static_assert(inline_bytes >= sizeof(Item::prefix));
        for (const Entry& e : entries) {
            const std::uint8_t* key = key_of(e);
            items[at[class_of(e.count)]++] = {
                key,
                e.length,
                e.count,
                {__builtin_bswap64(load8(key)), __builtin_bswap64(load8(key + 8))}};
        }
    }
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());  // empty classes
    const std::size_t classes = starts.size() - 1;
    auto sort_class = [&](std::size_t c) {
        std::sort(items.begin() + starts[c], items.begin() + starts[c + 1], sorts_before);
    };
    auto hand = [&](std::size_t from, std::size_t to) {
        if (ready && from < to) ready(items.data() + starts[from], items.data() + starts[to]);
    };
    // With `ready` the calling thread takes the sorted classes while the others sort on.
    const unsigned helpers = ready ? threads - 1 : threads;
    if (threads < 2 || items.size() < sort_on_threads_from) {
        for (std::size_t c = 0; c < classes; ++c) sort_class(c);
        hand(0, classes);
        return items;
    }
    const std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[classes]());
    std::atomic<std::size_t> untaken{0};
    // Sorts the first class no thread has taken; false when there is none.
    auto sort_next = [&] {
        const std::size_t c = untaken.fetch_add(1);
        if (c >= classes) return false;
        sort_class(c);
        done[c].store(true, std::memory_order_release);
        return true;
    };
    std::size_t handed = 0;
    // Hands on whatever is sorted; when the next class is still being sorted, sorts one that no
    // thread has taken meanwhile. A wait there would be time lost on the one thread that cannot
    // be helped, and on a busy machine the other threads may not run for a while.
    auto hand_sorted = [&] {
        for (;;) {
            std::size_t to = handed;
            while (to < classes && done[to].load(std::memory_order_acquire)) ++to;
            if (to != handed) {
                hand(handed, to);
                handed = to;
            } else if (handed == classes || !sort_next()) {
                return;
            }
        }
    };
    const unsigned sorters = std::min<unsigned>(helpers, static_cast<unsigned>(classes));
    run_tasks(
        sorters, sorters,
        [&](std::size_t, const TaskContext& context) {
            do context.check();
            while (sort_next());
        },
        hand_sorted, std::chrono::microseconds(250), NoThread::run_here);
    hand(handed, classes);
    return items;
}

namespace {

// Byte-wise tests of a word, each answer in the byte's high bit, exact for every byte value:
// no sum carries into the next byte.
std::uint64_t bytes_upper_latin(std::uint64_t w) {
    const std::uint64_t low = w & ~high_bits;
    return ~w & (low + 0x3F * each_byte) & ~(low + 0x25 * each_byte) & high_bits;  // 41..5A
}
std::uint64_t bytes_d0(std::uint64_t w) {
    const std::uint64_t t = w ^ 0xD0 * each_byte;
    return ~(((t & ~high_bits) + 0x7F * each_byte) | t) & high_bits;
}
std::uint64_t bytes_below_b0(std::uint64_t w) {
    return ~(w & ((w & ~high_bits) + 0x50 * each_byte)) & high_bits;
}

}  // namespace

bool may_lower(const std::uint8_t* p, std::size_t n) {
    std::uint64_t found = 0;
    for (std::size_t i = 0; i < n; i += 8) {
        const std::size_t left = n - i;
        const std::uint64_t w = left >= 8 ? load8(p + i) : small_word(p + i, left);
        // Each byte beside the one after it: a D0 before a byte below B0 may be a capital.
        const std::uint64_t after = w >> 8 | std::uint64_t{left > 8 ? p[i + 8] : 0u} << 56;
        found |= bytes_upper_latin(w) | (bytes_d0(w) & bytes_below_b0(after));
    }
    return found != 0;
}

void lower_latin_russian(std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = p[i];
        if (b >= 'A' && b <= 'Z') {
            p[i] = static_cast<std::uint8_t>(b + 32);
        } else if (b == 0xD0 && i + 1 < n) {
            const std::uint8_t c = p[i + 1];
            if (c == 0x81) {  // Ё
                p[i] = 0xD1;
                p[i + 1] = 0x91;
            } else if (c >= 0x90 && c <= 0x9F) {  // А..П
                p[i + 1] = static_cast<std::uint8_t>(c + 0x20);
            } else if (c >= 0xA0 && c <= 0xAF) {  // Р..Я
                p[i] = 0xD1;
                p[i + 1] = static_cast<std::uint8_t>(c - 0x20);
            }
            ++i;
        }
    }
}

// --- counting texts ---------------------------------------------------------------------

namespace {

// What one thread counts with during a call. Its tokens wait in `pending` across texts and
// slices (short rows would otherwise empty it every few tokens); `settle` puts them in `table`
// before anything reads it.
struct CountWorker {
    CountWorker() : pending(table) {}
    CountWorker(const CountWorker&) = delete;
    CountWorker& operator=(const CountWorker&) = delete;
    void settle() { pending.flush(); }

    std::optional<TextTokenizer> tokenizer;
    std::string repaired;
    CountTable table;
    CountTable::Pipeline pending;
    std::vector<std::uint8_t> buffer;  // file slices
};

void count_tokens(CountWorker& w, const CountSettings& s, const std::uint8_t* p, std::size_t n,
                  bool last, const std::function<void()>& poll) {
    if (!w.tokenizer) w.tokenizer.emplace(&s.filter);
    std::uint8_t lowered[TokenBuffer::capacity * 4];
    w.tokenizer->feed(
        p, n, last,
        [&](const std::uint8_t* t, std::size_t len, std::uint64_t) {
            if (s.lower && may_lower(t, len)) {
                std::memcpy(lowered, t, len);
                lower_latin_russian(lowered, len);
                t = lowered;
            }
            w.pending.add(t, len);
        },
        poll);
}

// Counts well-formed text, or text repaired by the handler; under "strict" returns the fault
// (offset relative to `p`) and counts nothing of it.
Utf8Fault count_text(CountWorker& w, const CountSettings& s, const std::uint8_t* p, std::size_t n,
                     bool last, const std::function<void()>& poll) {
    const Utf8Fault fault = find_fault(p, n);
    if (fault.offset != no_fault) {
        if (s.errors == ErrorHandler::strict) return fault;
        repair(p, n, fault, s.errors, w.repaired);
        p = reinterpret_cast<const std::uint8_t*>(w.repaired.data());
        n = w.repaired.size();
    }
    count_tokens(w, s, p, n, last, poll);
    return {no_fault, 0, nullptr};
}

// The workers' tables merged in rounds, pairs side by side: on n threads about log2 n merges
// follow one another instead of n − 1.
CountTable merged(std::vector<CountWorker>& workers, const std::function<void()>& wait) {
    std::vector<CountTable*> tables;
    for (CountWorker& w : workers) tables.push_back(&w.table);
    // The second of a pair is emptied once merged: its memory is needed no more.
    auto merge_pair = [&tables](std::size_t i) {
        tables[2 * i]->merge(*tables[2 * i + 1]);
        *tables[2 * i + 1] = CountTable{};
    };
    while (tables.size() > 1) {
        const std::size_t pairs = tables.size() / 2;
        if (pairs < 2)  // a thread of its own for one merge gains nothing
            merge_pair(0);
        else
            run_tasks(
                pairs, static_cast<unsigned>(pairs),
                [&](std::size_t i, const TaskContext&) { merge_pair(i); }, wait,
                std::chrono::milliseconds(25), NoThread::run_here);
        std::vector<CountTable*> next;
        for (std::size_t i = 0; i < tables.size(); i += 2) next.push_back(tables[i]);
        tables.swap(next);
    }
    return std::move(*tables[0]);
}

}  // namespace

// Runs `count(i, worker, context, failures)` for every task on per-thread tables, merged
// once every task has succeeded.
template <class Count>
CountTable count_in_tasks(std::size_t tasks, unsigned threads, const std::function<void()>& wait,
                          Count count) {
    std::vector<CountWorker> workers(std::max(threads, 1u));
    FirstFailure failures(tasks);
    run_tasks(
        tasks, threads,
        [&](std::size_t i, const TaskContext& context) {
            if (!failures.after_failure(i))
                count(i, workers[context.worker_id()], context, failures);
        },
        wait);
    failures.raise();
    for (CountWorker& w : workers) w.settle();
    return merged(workers, wait);
}

CountTable count_column(const TextColumn& column, const CountSettings& settings, unsigned threads,
                        const std::function<void()>& wait) {
    const std::vector<RowRange> ranges = split_rows(column, std::size_t{256} << 10);
    return count_in_tasks(
        ranges.size(), threads, wait,
        [&](std::size_t i, CountWorker& w, const TaskContext& context, FirstFailure& failures) {
            const RowRange& r = ranges[i];
            const StringChunk& chunk = column.chunks[r.chunk];
            auto poll = [&context] { context.check(); };
            for (std::size_t j = r.begin; j < r.end; ++j) {
                if (j % 256 == 0) context.check();
                const RowText row = chunk.row(j);
                if (!row.valid) continue;
                const Utf8Fault f = count_text(w, settings, row.data, row.size, true, poll);
                if (f.offset != no_fault) {
                    failures.record(
                        i, malformed_at(r.first_row + j - r.begin, 0, row.data, row.size, f));
                    return;
                }
            }
        });
}

// --- counting a file --------------------------------------------------------------------

namespace {

// Small enough to stay in the reading core's own cache between its copy and its count.
constexpr std::size_t read_block = std::size_t{256} << 10;
// Lines are short: a slice's start is searched for in small reads.
constexpr std::size_t line_search = std::size_t{64} << 10;

// Bytes at the end of `p[0..n)` that start a character not complete yet.
std::size_t unfinished_tail(const std::uint8_t* p, std::size_t n) {
    for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
        const std::uint8_t b = p[n - back];
        if (b < 0x80) return 0;
        if (b >= 0xC0) {
            const std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
            return need > back ? back : 0;
        }
    }
    return 0;
}

class FileSlices {
public:
    FileSlices(const std::string& path, unsigned threads) : path(path) {
        do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
        struct stat st;
        if (::fstat(fd, &st) != 0) fail(errno);
        if (S_ISDIR(st.st_mode)) fail(EISDIR);
        size = static_cast<std::uint64_t>(st.st_size);
        // Size 0 (a pipe, a file of the proc kind): one slice, read to its end.
        seekable = S_ISREG(st.st_mode) && size > 0;
        // Many slices a thread, so the threads end close together (the last slice is what one
        // thread may count alone); each has its own table, so a slice costs little more than
        // its first line's search.
        const std::uint64_t per_slice = std::max<std::uint64_t>(
            std::uint64_t{1} << 18, size / (std::uint64_t{64} * threads) + 1);
        slice_bytes = per_slice;
        slices = seekable ? static_cast<std::size_t>((size + per_slice - 1) / per_slice) : 1;
    }
    ~FileSlices() { ::close(fd); }

    std::size_t count() const { return slices; }

    // Counts slice k: from just past the first line feed at or after k·slice_bytes − 1 (the
    // file's start for slice 0) to just past the first one at or after (k+1)·slice_bytes − 1,
    // or the end of the file.
    void count_slice(std::size_t k, CountWorker& w, const CountSettings& s, const TaskContext& c,
                     FirstFailure& failures, std::atomic<std::uint64_t>* done_bytes) {
        const std::uint64_t from = slice_start(k, w, c);
        if (from == no_start) return;
        const std::uint64_t end = count_from(k, from, w, s, c, failures);
        if (done_bytes != nullptr && end != no_start) done_bytes->fetch_add(end - from);
    }

private:
    static constexpr std::uint64_t no_start = ~std::uint64_t{0};

    // Where slice k starts, or no_start when the previous slice's last line covers it.
    std::uint64_t slice_start(std::size_t k, CountWorker& w, const TaskContext& c) {
        w.buffer.resize(read_block + 4);
        std::uint8_t* buf = w.buffer.data();
        if (k == 0) return 0;
        std::uint64_t pos = k * slice_bytes - 1;
        for (;;) {  // skip to the end of the line the previous slice finishes
            const std::size_t got = read_at(pos, buf, line_search, c);
            if (got == 0) return no_start;
            const void* lf = std::memchr(buf, '\n', got);
            if (lf != nullptr) {
                pos += static_cast<const std::uint8_t*>(lf) - buf + 1;
                break;
            }
            pos += got;
        }
        return pos >= (k + 1) * slice_bytes ? no_start : pos;
    }

    // Counts slice k from `pos` to its end; returns the end, or no_start after a fault.
    std::uint64_t count_from(std::size_t k, std::uint64_t pos, CountWorker& w,
                             const CountSettings& s, const TaskContext& c, FirstFailure& failures) {
        std::uint8_t* buf = w.buffer.data();
        auto poll = [&c] { c.check(); };
        const bool last_slice = k + 1 == slices;
        const std::uint64_t boundary = (k + 1) * slice_bytes - 1;
        std::size_t carried = 0;
        for (;;) {
            const std::size_t got = read_at(pos, buf + carried, read_block, c);
            std::size_t n = carried + got;
            bool done = got == 0;
            if (!done && !last_slice && pos + got > boundary) {
                const std::uint64_t from = std::max(pos, boundary) - pos;
                const void* lf = std::memchr(buf + carried + from, '\n', got - from);
                if (lf != nullptr) {
                    n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - buf) + 1;
                    done = true;
                }
            }
            const std::size_t keep = done ? 0 : unfinished_tail(buf, n);
            const Utf8Fault f = count_text(w, s, buf, n - keep, done, poll);
            if (f.offset != no_fault) {
                failures.record(k, malformed_at(no_row, pos - carried, buf, n, f));
                return no_start;
            }
            if (done) return pos - carried + n;
            std::memmove(buf, buf + n - keep, keep);
            pos += got;
            carried = keep;
        }
    }

public:
    // A file read to its end at another size than it had when opened changed while read.
    void check_size(std::uint64_t end) const {
        if (seekable && end != size)
            throw FileChanged(path + ": the file changed size while it was read");
    }

private:
    [[noreturn]] void fail(int error) {
        ::close(fd);
        throw std::system_error(error, std::generic_category(), path);
    }

    std::size_t read_at(std::uint64_t pos, std::uint8_t* buf, std::size_t n,
                        const TaskContext& c) const {
        for (;;) {
            c.check();
            const ssize_t got =
                seekable ? ::pread(fd, buf, n, static_cast<off_t>(pos)) : ::read(fd, buf, n);
            if (got >= 0) {
                if (got == 0) check_size(pos);
                if (seekable && pos + static_cast<std::uint64_t>(got) > size) check_size(pos + got);
                return static_cast<std::size_t>(got);
            }
            if (errno != EINTR) throw std::system_error(errno, std::generic_category(), path);
        }
    }

    std::string path;
    int fd = -1;
    std::uint64_t size = 0, slice_bytes = 0;
    std::size_t slices = 1;
    bool seekable = false;
};

}  // namespace

CountTable count_file(const std::string& path, const CountSettings& settings, unsigned threads,
                      const std::function<void()>& wait, std::atomic<std::uint64_t>* done_bytes) {
    FileSlices file(path, std::max(threads, 1u));
    return count_in_tasks(
        file.count(), threads, wait,
        [&](std::size_t k, CountWorker& w, const TaskContext& c, FirstFailure& failures) {
            file.count_slice(k, w, settings, c, failures, done_bytes);
        });
}

CountTable count_files(const std::vector<std::string>& paths, const CountSettings& settings,
                       unsigned threads, const std::function<void()>& wait,
                       std::atomic<std::uint64_t>* done_bytes) {
    return count_in_tasks(
        paths.size(), threads, wait,
        [&](std::size_t i, CountWorker& w, const TaskContext& c, FirstFailure& failures) {
            try {
                FileSlices file(paths[i], 1);
                FirstFailure in_file(file.count());
                for (std::size_t k = 0; k < file.count(); ++k) {
                    file.count_slice(k, w, settings, c, in_file, done_bytes);
                    in_file.raise();
                }
            } catch (const Cancelled&) {
                throw;
            } catch (...) {
                failures.record(i, std::make_exception_ptr(InFile{i, std::current_exception()}));
            }
        });
}

// --- counting a stream ------------------------------------------------------------------

struct StreamCounter::State {
    explicit State(const CountSettings& s) : settings(s) {}
    CountSettings settings;
    CountWorker worker;
    std::string carried;       // an unfinished character
    std::uint64_t offset = 0;  // of the first carried byte in the stream
    std::string joined;
    // Where the stream was before the last block, for undo().
    TokenBuildState tokens_before{};
    std::string carried_before;
    std::uint64_t offset_before = 0;
};

StreamCounter::StreamCounter(const CountSettings& settings)
    : state(std::make_unique<State>(settings)) {}
StreamCounter::~StreamCounter() = default;

void StreamCounter::add(const std::uint8_t* block, std::size_t n, bool last, CountTable& counts,
                        const std::function<void()>& poll) {
    State& st = *state;
    CountWorker& w = st.worker;
    if (!w.tokenizer) w.tokenizer.emplace(&st.settings.filter);
    const std::uint8_t* p = block;
    if (!st.carried.empty()) {
        st.joined.assign(st.carried);
        st.joined.append(reinterpret_cast<const char*>(block), n);
        p = reinterpret_cast<const std::uint8_t*>(st.joined.data());
        n = st.joined.size();
    }
    const std::size_t keep = last ? 0 : unfinished_tail(p, n);
    // Whatever fails below, the token-building state goes back to what it was.
    const TokenBuildState saved = w.tokenizer->state();
    try {
        const Utf8Fault f = count_text(w, st.settings, p, n - keep, last, poll);
        if (f.offset != no_fault) throw malformed_at(no_row, st.offset, p, n, f);
        w.settle();
        counts.merge(w.table);  // all or nothing
    } catch (...) {
        w.tokenizer->restore(saved);
        w.pending.drop();
        w.table = CountTable{};
        throw;
    }
    w.table = CountTable{};  // the next block starts from no counts
    // Nothing below allocates: the carried bytes (at most three) fit the string's own room.
    st.tokens_before = saved;
    st.offset_before = st.offset;
    st.carried_before.swap(st.carried);
    st.offset += n - keep;
    st.carried.assign(reinterpret_cast<const char*>(p + n - keep), keep);
    if (last) st.offset = 0;
}

void StreamCounter::undo() {
    State& st = *state;
    if (st.worker.tokenizer) st.worker.tokenizer->restore(st.tokens_before);
    st.carried.swap(st.carried_before);
    st.offset = st.offset_before;
}

// --- counts as Arrow --------------------------------------------------------------------

std::shared_ptr<CountsArrow> counts_arrow(const CountTable::Items& items) {
    auto out = std::make_shared<CountsArrow>();
    std::size_t bytes = 0;
    for (const CountTable::Item& it : items) bytes += it.length;
    out->rows = items.size();
    out->large = bytes > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    out->text = RawArray<std::uint8_t>(bytes);
    out->offsets = RawArray<std::uint8_t>((items.size() + 1) * (out->large ? 8 : 4));
    out->counts = RawArray<std::int64_t>(items.size());
    std::size_t at = 0;
    for (std::size_t i = 0; i <= items.size(); ++i) {
        if (out->large)
            reinterpret_cast<std::int64_t*>(out->offsets.data())[i] = static_cast<std::int64_t>(at);
        else
            reinterpret_cast<std::int32_t*>(out->offsets.data())[i] = static_cast<std::int32_t>(at);
        if (i == items.size()) break;
        std::memcpy(out->text.data() + at, items[i].key, items[i].length);
        at += items[i].length;
        out->counts[i] = items[i].count;
    }
    return out;
}

ExportNode CountsArrow::node() const {
    ExportNode s;
    s.format = "+s";
    s.length = static_cast<std::int64_t>(rows);
    s.buffers = {nullptr};
    ExportNode token;
    token.format = large ? "U" : "u";
    token.name = "token";
    token.length = s.length;
    token.buffers = {nullptr, offsets.data(), text.data()};
    ExportNode count;
    count.format = "l";
    count.name = "count";
    count.length = s.length;
    count.buffers = {nullptr, counts.data()};
    s.children = {std::move(token), std::move(count)};
    return s;
}

}  // namespace chopwise::columns
