// Native checks of the column engine's own pieces: strict UTF-8 faults and their repair, the
// lowering, the character count of tokens, the count table, the task runner and the release of
// exported arrays.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "check.hpp"
#include "columns/arrow_export.hpp"
#include "columns/text_tokens.hpp"
#include "columns/utf8_check.hpp"
#include "columns/word_counts.hpp"
#include "columns/workers.hpp"

using namespace chopwise::columns;

namespace {

const std::uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

void check_faults() {
    // Offset and length of the first maximal subpart, as a strict decoder reports them.
    const struct {
        std::string text;
        std::size_t offset, length;
    } cases[] = {
        {"plain ascii", no_fault, 0},
        {"ёлка 😀", no_fault, 0},
        {"a\xff", 1, 1},
        {"ab\xe2\x82x", 2, 2},
        {"\xe2\x82", 0, 2},
        {"\xed\xa0\x80", 0, 1},
        {"\xc0\x80", 0, 1},
        {"\xe0\x80\x80", 0, 1},
        {"\xf4\x90\x80\x80", 0, 1},
        {"\xf0\x9f\x98", 0, 3},
        {"\x80", 0, 1},
        {"ok\xc3", 2, 1},
        {"\xf5\x80", 0, 1},
        {"12345678\xc3\xa9\xc3", 10, 1},
    };
    for (const auto& c : cases) {
        const Utf8Fault f = find_fault(bytes(c.text), c.text.size());
        CHECK(f.offset == c.offset);
        if (c.offset != no_fault) CHECK(f.length == c.length);
    }
    // The handlers as the interpreter's decoder applies them.
    const std::string bad =
        "a\xff"
        "b\xe2\x82"
        "c\xf0\x9f\x98";
    const struct {
        ErrorHandler h;
        std::string want;
    } repairs[] = {{ErrorHandler::replace,
                    "a\xEF\xBF\xBD"
                    "b\xEF\xBF\xBD"
                    "c\xEF\xBF\xBD"},
                   {ErrorHandler::ignore, "abc"},
                   {ErrorHandler::backslashreplace, "a\\xffb\\xe2\\x82c\\xf0\\x9f\\x98"}};
    for (const auto& r : repairs) {
        std::string out;
        repair(bytes(bad), bad.size(), find_fault(bytes(bad), bad.size()), r.h, out);
        CHECK(out == r.want);
    }
    ErrorHandler h;
    CHECK(handler_named("backslashreplace", h) && h == ErrorHandler::backslashreplace);
    CHECK(!handler_named("surrogateescape", h));
}

void check_lowering() {
    std::string s = "ABC xyz ЁЖИК ПРЯ Éé Ѐ 9";
    lower_latin_russian(reinterpret_cast<std::uint8_t*>(s.data()), s.size());
    CHECK(s == "abc xyz ёжик пря Éé Ѐ 9");
}

// may_lower says no only where lowering changes nothing: every pair of bytes, at every place
// in strings of lengths on both sides of the words it reads.
void check_the_quick_lowering_test() {
    std::size_t wrong = 0;
    for (std::size_t n : {2, 7, 8, 9, 16, 17, 23}) {
        for (std::size_t at = 0; at + 1 < n; ++at) {
            for (unsigned pair = 0; pair < 0x10000; ++pair) {
                std::uint8_t text[24], low[24];
                std::memset(text, 'x', n);
                text[at] = static_cast<std::uint8_t>(pair >> 8);
                text[at + 1] = static_cast<std::uint8_t>(pair);
                std::memcpy(low, text, n);
                lower_latin_russian(low, n);
                if (std::memcmp(low, text, n) != 0 && !may_lower(text, n)) ++wrong;
            }
        }
    }
    CHECK(wrong == 0);
    // And it lets lower-case words through, so the quick path is taken.
    for (const std::string lower : {"", "x", "ёжик", "пря", "йогурт", "съешь-ка", "abcdefghijkl",
                                    "Éé", "долгое-предолгое-слово"})
        CHECK(!may_lower(bytes(lower), lower.size()));
    for (const std::string upper :
         {"A", "Ёж", "пЯ", "abcdefgZ", "abcdefghZ", "abcdefg\xD0\x90", "долгое-предолгое-словО"})
        CHECK(may_lower(bytes(upper), upper.size()));
}

void check_char_count() {
    // Every byte value at every place of texts of 0 to 24 bytes, each in a block of its own
    // size, so that a read past the end is a sanitizer's report.
    std::size_t wrong = 0;
    for (std::size_t n = 0; n <= 24; ++n)
        for (std::size_t at = 0; at < std::max<std::size_t>(n, 1); ++at)
            for (unsigned b = 0; b < 256; ++b) {
                const std::unique_ptr<std::uint8_t[]> text(new std::uint8_t[n]);
                for (std::size_t i = 0; i < n; ++i)
                    text[i] = static_cast<std::uint8_t>(0x80 + i * 37);
                if (at < n) text[at] = static_cast<std::uint8_t>(b);
                std::uint32_t want = 0;
                for (std::size_t i = 0; i < n; ++i) want += (text[i] & 0xC0) != 0x80;
                wrong += char_count(text.get(), n) != want;
            }
    CHECK(wrong == 0);
}

void check_counts() {
    CountTable a, b;
    for (int i = 0; i < 5000; ++i)
        a.add(bytes("w" + std::to_string(i % 1000)), std::to_string(i % 1000).size() + 1);
    b.add(bytes("zz"), 2, 7000);
    b.add(bytes("w1"), 2, 2);
    a.merge(b);
    CHECK(a.size() == 1001);
    CHECK(a.total() == 5000 + 7002);
    const auto items = a.sorted();
    CHECK(items[0].count == 7000 && std::memcmp(items[0].key, "zz", 2) == 0);
    CHECK(items[1].count == 7 && std::memcmp(items[1].key, "w1", 2) == 0);
    // Ties in byte order, a prefix first.
    CHECK(items[2].length == 2 && std::memcmp(items[2].key, "w0", 2) == 0);
    CHECK(items[3].length == 3 && std::memcmp(items[3].key, "w10", 3) == 0);
}

void check_tasks() {
    std::atomic<int> done{0};
    run_tasks(100, 3, [&](std::size_t, const TaskContext&) { ++done; }, [] {});
    CHECK(done == 100);
    // A failing task stops the run and its exception comes out.
    bool thrown = false;
    try {
        run_tasks(
            1000, 2,
            [&](std::size_t i, const TaskContext&) {
                if (i == 3) throw std::runtime_error("task 3");
            },
            [] {});
    } catch (const std::runtime_error& e) {
        thrown = std::string(e.what()) == "task 3";
    }
    CHECK(thrown);
    // A wait that throws cancels tasks that poll, and comes out itself.
    thrown = false;
    std::atomic<int> gave_up{0};
    try {
        run_tasks(
            4, 2,
            [&](std::size_t, const TaskContext& c) {
                try {
                    for (;;) {
                        c.check();
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                } catch (const Cancelled&) {
                    ++gave_up;
                    throw;
                }
            },
            [] { throw std::logic_error("interrupt"); }, std::chrono::milliseconds(5));
    } catch (const std::logic_error&) {
        thrown = true;
    }
    CHECK(thrown && gave_up == 2);
}

void check_export_release() {
    auto keep = std::make_shared<int>(1);
    ExportNode s;
    s.format = "+s";
    s.length = 1;
    s.buffers = {nullptr};
    ExportNode child;
    child.format = "l";
    child.name = "n";
    child.length = 1;
    child.buffers = {nullptr, keep.get()};
    s.children = {child};
    ArrowArray a;
    export_array(s, keep, &a);
    CHECK(keep.use_count() == 3);
    // A consumer may move a child out and release it after the parent.
    ArrowArray moved = *a.children[0];
    a.children[0]->release = nullptr;
    a.release(&a);
    CHECK(a.release == nullptr && keep.use_count() == 2);
    moved.release(&moved);
    CHECK(keep.use_count() == 1);
    ArrowSchema schema;
    export_schema(s, &schema);
    CHECK(std::strcmp(schema.children[0]->format, "l") == 0 &&
          std::strcmp(schema.children[0]->name, "n") == 0);
    schema.release(&schema);
}

}  // namespace

int main() {
    check_faults();
    check_lowering();
    check_the_quick_lowering_test();
    check_char_count();
    check_counts();
    check_tasks();
    check_export_release();
    return native_check::report();
}
