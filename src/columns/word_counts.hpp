#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrow_export.hpp"
#include "raw_array.hpp"
#include "text_column.hpp"
#include "text_tokens.hpp"
#include "utf8_check.hpp"

namespace chopwise::columns {

// Token counts: entries in order of first sight (the common tokens come early and stay close
// together), found through an open-addressing index of 8-byte slots. Keys of up to 24 bytes
// live in their entry, zero-padded, and are compared by words; longer ones in a block of their
// own.
class CountTable {
public:
    struct Item {
        const std::uint8_t* key;
        std::uint32_t length;
        std::int64_t count;
        // The first 16 bytes as two big-endian words, zero-padded: they order most ties
        // (8 Russian letters) without a look at the key.
        std::uint64_t prefix[2] = {0, 0};
    };

    void add(const std::uint8_t* key, std::size_t length, std::int64_t n = 1);
    // Adds every count of `other`. When it throws (an allocation fails) this table is as it was.
    void merge(const CountTable& other);
    std::size_t size() const { return entries.size(); }
    std::int64_t total() const { return sum; }
    // Most common first, ties in code-point order (the byte order of UTF-8), sorted on up to
    // `threads` threads. With `ready`, the calling thread is handed the items in stretches,
    // in order, each as soon as it is sorted, while later ones are sorted on the other
    // threads; when `ready` throws, the sort stops and the exception passes on. The keys point
    // into the table: they stay valid until it changes.
    using Ready = std::function<void(const Item* first, const Item* last)>;
    using Items = TableVector<Item>;
    Items sorted(unsigned threads = 1, const Ready& ready = {}) const;

    static constexpr std::size_t inline_bytes = 24;

    // Adds a few tokens behind, so that the cache misses of rare keys overlap (defined beside
    // the counting loop, its one user).
    class Pipeline;

private:
    struct Entry {
        std::uint8_t key[inline_bytes];  // the key, or for a longer one its offset in long_keys
        std::int64_t count;
        std::uint32_t length;
    };
    struct Key;

    // Room for `entries` entries and `key_bytes` bytes of long keys: after it, adding that many
    // new keys allocates nothing; the index may be rebuilt, which moves every slot.
    void reserve(std::size_t entries, std::size_t key_bytes);
    // The room of `reserve` for the entries and keys, and an index large enough for them
    // (its capacity, none if the one in use is), which `rebuild` moves every slot to.
    TableVector<std::uint64_t> make_room(std::size_t entries, std::size_t key_bytes);
    void rebuild(TableVector<std::uint64_t>& index);
    // The slot of `k`, or the free slot where it would go.
    std::size_t find(const Key& k) const;
    void add(const Key& k, std::int64_t n);
    void add_at(std::size_t slot, const Key& k, std::int64_t n);
    void add_to(std::uint64_t slot, std::int64_t n);
    // Hints that the slot of one hash, and the entry that the slot of another names (if not
    // null), are read soon. Keys are looked up this many after their slot is fetched, their
    // entry halfway (a power of two).
    static constexpr std::size_t fetch_ahead = 16;
    void fetch(std::uint64_t slot_of_hash, const std::uint64_t* entry_of_hash) const;
    void add_new(const Key& k, std::int64_t n);
    const std::uint8_t* key_of(const Entry& e) const;
    // Calls `visit(i, key)` for every entry of `from` in order, with lookups asked for ahead.
    template <class Visit>
    void for_each_ahead(const CountTable& from, Visit&& visit);

    TableVector<std::uint64_t> slots;  // 0 free, else hash >> 32 << 32 | (entry index + 1)
    TableVector<Entry> entries;
    TableVector<std::uint8_t> long_keys;
    std::int64_t sum = 0;
};

// Latin and Russian capitals of well-formed UTF-8 lowered in place (Ё to ё); the length stays.
void lower_latin_russian(std::uint8_t* p, std::size_t n);
// False only for bytes that lower_latin_russian leaves as they are: no A–Z, and no D0 before
// a byte below B0 (Ё and А..Я; a few other capitals answer true).
bool may_lower(const std::uint8_t* p, std::size_t n);

struct CountSettings {
    TokenFilter filter;
    bool lower;
    ErrorHandler errors;
};

// Counts of a column's rows; `threads` 0 works on the calling thread. Throws MalformedText
// under the strict handler, and whatever `wait` throws.
CountTable count_column(const TextColumn& column, const CountSettings& settings, unsigned threads,
                        const std::function<void()>& wait);

// Counts of a plain file, read in slices cut at line feeds, each slice by one thread; the
// bytes of each slice counted go to `done_bytes` as it ends. `path` is the file's name as the
// system takes it (any bytes but NUL). Throws std::system_error for a failed open or read,
// FileChanged when the file's size changes while it is read.
CountTable count_file(const std::string& path, const CountSettings& settings, unsigned threads,
                      const std::function<void()>& wait,
                      std::atomic<std::uint64_t>* done_bytes = nullptr);

// Counts of many plain files, each read whole by one thread: for files too small for slices of
// their own to keep the threads busy. The first failure in the files' order is thrown as InFile.
CountTable count_files(const std::vector<std::string>& paths, const CountSettings& settings,
                       unsigned threads, const std::function<void()>& wait,
                       std::atomic<std::uint64_t>* done_bytes = nullptr);

// What the file of `index` failed with.
struct InFile {
    std::size_t index;
    std::exception_ptr error;
};

struct FileChanged : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Counts of a byte stream fed in blocks: the unfinished token and character at a block's end
// wait for the next block. `add` puts the counts of what a block finished into `counts`; a
// block that fails leaves the stream as it was and adds nothing.
class StreamCounter {
public:
    explicit StreamCounter(const CountSettings& settings);
    ~StreamCounter();
    void add(const std::uint8_t* block, std::size_t n, bool last, CountTable& counts,
             const std::function<void()>& poll);
    // Puts the stream back where it was before the last `add` that succeeded, for a caller
    // whose own use of its counts failed. Only once after such an `add`.
    void undo();

private:
    struct State;
    std::unique_ptr<State> state;
};

// The counts as a struct array of token (string, or large_string past 2 GiB) and count (int64),
// most common first.
struct CountsArrow {
    std::size_t rows = 0;
    bool large = false;
    RawArray<std::uint8_t> text, offsets;
    RawArray<std::int64_t> counts;
    ExportNode node() const;
};
std::shared_ptr<CountsArrow> counts_arrow(const CountTable::Items& items);

}  // namespace chopwise::columns
