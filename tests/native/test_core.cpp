// Record-level checks of the core that the Python surface cannot see.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "charlayer/char_class.hpp"
#include "charlayer/utf8.hpp"
#include "check.hpp"
#include "tokenizers/text_source.hpp"
#include "tokens/joiner.hpp"

using namespace chopwise;

struct Decoded {
    std::uint32_t code_point, length;
    std::vector<std::uint8_t> bytes;
    std::size_t last;  // index of the byte that completed the character
};

static std::vector<Decoded> decode_all(const std::vector<std::uint8_t>& input) {
    Utf8Char record{};
    std::vector<Decoded> out;
    for (std::size_t j = 0; j < input.size(); ++j) {
        const bool complete = decode_byte(record, input[j]);
        CHECK(record.received <= 4);
        if (complete)
            out.push_back({record.code_point, record.length,
                           std::vector<std::uint8_t>(record.bytes, record.bytes + 4), j});
    }
    return out;
}

static void test_decoder() {
    struct Case {
        std::vector<std::uint8_t> input;
        std::vector<std::uint32_t> code_points;
        std::vector<std::uint32_t> lengths;
    };
    const Case cases[] = {
        {{0x41}, {0x41}, {1}},
        {{0xC3, 0xA9, 0xD0, 0x81}, {0xE9, 0x401}, {2, 2}},
        {{0xE2, 0x80, 0x94, 0xE2, 0x82, 0xAC}, {0x2014, 0x20AC}, {3, 3}},
        {{0xF0, 0x9F, 0x98, 0x80}, {0x1F600}, {4}},
        {{0xE2, 0x82, 0x41}, {0x41}, {1}},
        {{0x80, 0x80, 0x41}, {0x41}, {1}},
        {{0x41, 0x80, 0x80, 0x80, 0x80, 0x80, 0x42}, {0x41, 0x42}, {1, 1}},
        {{0xC3, 0xFF}, {0xFF}, {2}},
        {{0xC0, 0x80}, {0}, {2}},
        {{0xE0, 0x80, 0x80}, {0}, {3}},
        {{0xED, 0xA0, 0x80}, {0xD800}, {3}},
        {{0xF4, 0x90, 0x80, 0x80}, {0x110000}, {4}},
        {{0xF7, 0xBF, 0xBF, 0xBF}, {0x1FFFFF}, {4}},
        {{0x41, 0xE2}, {0x41}, {1}},
    };
    for (const Case& c : cases) {
        const std::vector<Decoded> got = decode_all(c.input);
        CHECK(got.size() == c.code_points.size());
        for (std::size_t i = 0; i < got.size() && i < c.code_points.size(); ++i) {
            CHECK(got[i].code_point == c.code_points[i]);
            CHECK(got[i].length == c.lengths[i]);
            // The record holds the character's own bytes as read, and zeros after them.
            const std::size_t first = got[i].last + 1 - got[i].length;
            for (std::uint32_t k = 0; k < 4; ++k)
                CHECK(got[i].bytes[k] == (k < got[i].length ? c.input[first + k] : 0));
        }
    }
}

static void test_table_layout() {
    const CharClassTable& table = char_class_table();
    CHECK(table.distinct_blocks == 8);
    const std::uint32_t first_of_block[] = {0x0, 0x40, 0x80, 0xC0, 0x400, 0x440, 0x2000, 0x2100};
    for (std::uint32_t i = 0; i < 8; ++i) CHECK(table.stage1[first_of_block[i] >> 6] == i);
    CHECK(table.stage1[0x10FFFF >> 6] == 3);
    CHECK(char_type(0x110000) == TokenType::UNKNWN);
    CHECK(char_type(0xFFFFFFFF) == TokenType::UNKNWN);
}

// Drives grouper and joiner over a text and returns the finished tokens.
static std::vector<std::string> tokens_of(const std::string& text, TokenBuildState& s) {
    std::vector<std::string> out;
    auto take = [&] {
        out.emplace_back(reinterpret_cast<const char*>(s.token.bytes), s.token.byte_count);
    };
    for (unsigned char b : text)
        if (decode_byte(s.grouper.current_char, b) && group_char(s.grouper, char_class_table()) &&
            join_piece(s))
            take();
    for (int step = 0; step < 2; ++step) {
        s.grouper.completed_piece.copy_from(s.grouper.open_piece);
        s.grouper.open_piece.clear();
        if (join_piece(s)) take();
    }
    return out;
}

static void test_groups_at_their_limits() {
    static TokenBuildState s{};
    const std::string text = std::string(300, 'a') + " кто-то a-b-c-d-e-f-g-h-i-j-k " +
                             std::string(100, 'b') + "-" + std::string(100, 'c') + "!";
    const std::vector<std::string> tokens = tokens_of(text, s);
    CHECK(tokens.size() == 12);
    CHECK(tokens[0].size() == 128 && tokens[2].size() == 44);
    CHECK(tokens[6] == "a-b-c-d-e-f-g-h-" && tokens[7] == "i-j-k");
}

// A str's block is filled to its capacity, so a block rounded to huge pages must round up.
static void test_text_block_sizes() {
    using text_block::block_bytes;
    using text_block::huge_page;
    for (std::size_t pages = 1; pages <= 3; ++pages) {
        for (std::size_t capacity = pages * huge_page - 2; capacity <= pages * huge_page + 2;
             ++capacity) {
            const std::size_t bytes = block_bytes(capacity);
            CHECK(bytes >= capacity);
            if (capacity >= huge_page)
                CHECK(bytes % huge_page == 0 && bytes - capacity < huge_page);
        }
    }
    CHECK(block_bytes(3'000'000) == 2 * huge_page);  // "é" * 1_500_000
    CHECK(block_bytes(0) == 1);
}

int main() {
    test_decoder();
    test_text_block_sizes();
    test_table_layout();
    test_groups_at_their_limits();
    return native_check::report();
}
