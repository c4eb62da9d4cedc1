// Native checks of the count table against a plain map: keys of every length around the
// inline limit and its word edges, growth, merges, and merges whose allocations fail.
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "columns/word_counts.hpp"

using namespace chopwise::columns;

// Allocation failure on demand: the n-th allocation from now throws. The replacements take
// their memory from malloc, so a delete that ends in free is no mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
long allocations_left = -1;  // -1: never fail
long allocations_failed = 0;
// The one allocation set to fail throws; those after it succeed again.
void* allocated(void* p) {
    if (allocations_left == 0) {
        std::free(p);
        allocations_left = -1;
        ++allocations_failed;
        throw std::bad_alloc();
    }
    if (allocations_left > 0) --allocations_left;
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
}  // namespace

void* operator new(std::size_t n) { return allocated(std::malloc(n == 0 ? 1 : n)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// Large blocks of the table are aligned to huge pages.
void* operator new(std::size_t n, std::align_val_t a) {
    const std::size_t align = static_cast<std::size_t>(a);
    return allocated(std::aligned_alloc(align, (n + align - 1) / align * align));
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using Reference = std::map<std::string, std::int64_t>;

const std::uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

// What sorted() must give: most common first, ties in byte order.
std::vector<std::pair<std::string, std::int64_t>> expected(const Reference& ref) {
    std::vector<std::pair<std::string, std::int64_t>> v(ref.begin(), ref.end());
    std::stable_sort(v.begin(), v.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    return v;
}

using Contents = std::vector<std::pair<std::string, std::int64_t>>;

void append(Contents& v, const CountTable::Item* first, const CountTable::Item* last) {
    for (const CountTable::Item* it = first; it != last; ++it)
        v.emplace_back(std::string(reinterpret_cast<const char*>(it->key), it->length), it->count);
}

Contents contents(const CountTable& t, unsigned threads = 1) {
    const CountTable::Items items = t.sorted(threads);
    Contents v;
    append(v, items.data(), items.data() + items.size());
    return v;
}

// The items as they are handed over while the sort goes on: on the calling thread, in order,
// every one once, and the same as those returned.
bool handed_in_order(const CountTable& t, unsigned threads, const Contents& want) {
    const std::thread::id caller = std::this_thread::get_id();
    bool on_caller = true;
    Contents got;
    const CountTable::Items items =
        t.sorted(threads, [&](const CountTable::Item* first, const CountTable::Item* last) {
            on_caller = on_caller && std::this_thread::get_id() == caller;
            append(got, first, last);
        });
    Contents returned;
    append(returned, items.data(), items.data() + items.size());
    return on_caller && got == want && returned == want;
}

bool same(const CountTable& t, const Reference& ref) {
    std::int64_t total = 0;
    for (const auto& [k, n] : ref) total += n;
    const auto want = expected(ref);
    // A big table is sorted by classes of counts on several threads; handed over as it is
    // sorted, the calling thread takes the classes while the others sort.
    for (unsigned threads : {1u, 2u, 3u, 5u})
        if (contents(t, threads) != want || !handed_in_order(t, threads, want)) return false;
    return t.size() == ref.size() && t.total() == total;
}

void add(CountTable& t, Reference& ref, const std::string& key, std::int64_t n) {
    t.add(bytes(key), key.size(), n);
    ref[key] += n;
}

// Keys that differ from each other in one byte only, at each place a word of the inline form
// begins or ends, and in length only (a zero byte at the end must not look like padding).
std::vector<std::string> near_keys() {
    std::vector<std::string> keys;
    for (std::size_t n = 0; n <= 2 * CountTable::inline_bytes; ++n) {
        std::string base;
        for (std::size_t i = 0; i < n; ++i) base += static_cast<char>('a' + i % 26);
        keys.push_back(base);
        keys.push_back(base + '\0');
        for (std::size_t at : {std::size_t{0}, n / 2, n - 1, std::size_t{7}, std::size_t{8},
                               std::size_t{15}, std::size_t{16}, std::size_t{23}}) {
            if (at >= n) continue;
            std::string k = base;
            k[at] = static_cast<char>(0xD0);
            keys.push_back(k);
            k[at] = '\0';
            keys.push_back(k);
        }
    }
    return keys;
}

void check_keys_of_every_length() {
    CountTable t;
    Reference ref;
    const std::vector<std::string> keys = near_keys();
    for (int round = 0; round < 3; ++round)
        for (std::size_t i = 0; i < keys.size(); ++i)
            add(t, ref, keys[i], static_cast<std::int64_t>(i % 5 + round));
    CHECK(same(t, ref));
}

void check_growth() {
    // Enough keys for several rebuilds of the index, and for a sort in five runs, short and
    // long, each seen i % 7 + 1 times.
    CountTable t;
    Reference ref;
    for (int pass = 0; pass < 7; ++pass)
        for (int i = 0; i < 170000; ++i) {
            if (i % 7 < pass) continue;
            const std::string k =
                (i % 3 == 0 ? std::string(30, 'x') : std::string()) + "w" + std::to_string(i);
            add(t, ref, k, 1);
        }
    CHECK(same(t, ref));
}

void check_counts_of_every_size() {
    // Counts around the bound of one class each and far past it, spread over enough keys for
    // the sort to go to other threads, with many ties in every class.
    CountTable t;
    Reference ref;
    const std::int64_t counts[] = {1, 2, 3, 1022, 1023, 1024, 1025, 4096, std::int64_t{1} << 40};
    for (int i = 0; i < 60000; ++i) {
        const std::string k = (i % 5 == 0 ? "длинный-ключ-" : "k") + std::to_string(i % 20011);
        add(t, ref, k, counts[static_cast<std::size_t>(i) % std::size(counts)]);
    }
    for (int i = 0; i < 40000; ++i) add(t, ref, "h" + std::to_string(i), 1);
    CHECK(same(t, ref));
}

void check_failed_hand_over_stops_the_sort() {
    CountTable t;
    Reference ref;
    for (int i = 0; i < 50000; ++i) add(t, ref, "w" + std::to_string(i), i % 9 + 1);
    for (unsigned threads : {1u, 2u, 4u}) {
        int calls = 0;
        bool thrown = false;
        try {
            t.sorted(threads, [&](const CountTable::Item*, const CountTable::Item*) {
                if (++calls == 1) throw std::runtime_error("taken no further");
            });
        } catch (const std::runtime_error&) {
            thrown = true;
        }
        CHECK(thrown && calls == 1);
    }
    CHECK(same(t, ref));
}

void check_sort_when_a_thread_cannot_start() {
    // Starting a thread allocates: where that fails, the calling thread sorts in its place.
    CountTable t;
    Reference ref;
    for (int i = 0; i < 50000; ++i) add(t, ref, "w" + std::to_string(i), i % 9 + 1);
    const Contents want = expected(ref);
    bool ran_here = false;
    for (long n = 0; n < 40; ++n) {
        allocations_left = n;
        allocations_failed = 0;
        Contents got;
        try {
            t.sorted(3, [&](const CountTable::Item* first, const CountTable::Item* last) {
                append(got, first, last);
            });
        } catch (const std::bad_alloc&) {
            allocations_left = -1;
            continue;
        }
        allocations_left = -1;
        ran_here = ran_here || allocations_failed > 0;
        CHECK(got == want);
    }
    CHECK(ran_here);
}

void check_merges() {
    const std::vector<std::string> keys = near_keys();
    CountTable a, b, empty;
    Reference ra, rb;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i % 3 != 0) add(a, ra, keys[i], 1 + static_cast<std::int64_t>(i % 4));
        if (i % 2 != 0) add(b, rb, keys[i], 2);
    }
    Reference both = ra;
    for (const auto& [k, n] : rb) both[k] += n;
    CountTable ab = a;
    ab.merge(b);
    CHECK(same(ab, both));
    CountTable into_empty;
    into_empty.merge(b);
    CHECK(same(into_empty, rb));
    CountTable a2 = a;
    a2.merge(empty);
    CHECK(same(a2, ra));
    // A table merged with itself holds every count twice.
    Reference twice = ra;
    for (auto& [k, n] : twice) n *= 2;
    a2.merge(a2);
    CHECK(same(a2, twice));
    // A merged table keeps counting.
    add(ab, both, keys[3], 5);
    add(ab, both, "new key past every other", 1);
    CHECK(same(ab, both));
}

void check_failed_merge_changes_nothing() {
    // b brings enough new keys (some long) to grow every block of a.
    CountTable a, b;
    Reference ra, both;
    for (int i = 0; i < 3000; ++i) add(a, ra, "a" + std::to_string(i), 1);
    both = ra;
    for (int i = 0; i < 20000; ++i) {
        const std::string k = (i % 4 == 0 ? std::string(40, 'y') : "") + std::to_string(i);
        b.add(bytes(k), k.size(), 3);
        both[k] += 3;
    }
    bool failed_once = false, merged = false;
    for (long n = 0; n < 10 && !merged; ++n) {
        CountTable t = a;
        allocations_left = n;
        try {
            t.merge(b);
            allocations_left = -1;
            merged = true;
            CHECK(same(t, both));
        } catch (const std::bad_alloc&) {
            allocations_left = -1;
            failed_once = true;
            CHECK(same(t, ra));
            // And the table still works.
            t.add(bytes("a1"), 2);
            CHECK(t.size() == ra.size() && t.total() == 3001);
        }
    }
    CHECK(failed_once && merged);
}

void check_failed_stream_block_changes_nothing() {
    const CountSettings settings{TokenFilter(~std::uint64_t{0}, 0, 512), false,
                                 ErrorHandler::strict};
    const std::string first = "alpha beta кто-", second = "то gamma alpha\n";
    const std::function<void()> poll = [] {};
    CountTable whole;
    StreamCounter plain(settings);
    plain.add(bytes(first), first.size(), false, whole, poll);
    plain.add(bytes(second), second.size(), true, whole, poll);
    bool failed_once = false;
    for (long n = 0; n < 40; ++n) {
        StreamCounter stream(settings);
        CountTable got;
        stream.add(bytes(first), first.size(), false, got, poll);
        const auto after_first = contents(got);
        allocations_left = n;
        try {
            stream.add(bytes(second), second.size(), true, got, poll);
            allocations_left = -1;
        } catch (const std::bad_alloc&) {
            allocations_left = -1;
            failed_once = true;
            CHECK(contents(got) == after_first);
            // The block again, from the same place in the stream.
            stream.add(bytes(second), second.size(), true, got, poll);
        }
        CHECK(contents(got) == contents(whole));
    }
    CHECK(failed_once);
}

}  // namespace

int main() {
    check_keys_of_every_length();
    check_growth();
    check_counts_of_every_size();
    check_failed_hand_over_stops_the_sort();
    check_sort_when_a_thread_cannot_start();
    check_merges();
    check_failed_merge_changes_nothing();
    check_failed_stream_block_changes_nothing();
    return native_check::report();
}
