#include "char_class.hpp"

#include <cstring>
#include <memory>
#include <vector>

namespace chopwise {
namespace {

constexpr std::uint8_t WRDSPC_CLASS = 1, NWLINE_CLASS = 2, ENWORD_CLASS = 3, NUMBER_CLASS = 4,
                       RUWORD_CLASS = 5, PNCTTN_CLASS = 6, UNKNWN_CLASS = 7;

struct ClassRange {
    std::uint32_t first, last;
    std::uint8_t class_index;
};

constexpr ClassRange class_ranges[] = {
    {0x000A, 0x000A, NWLINE_CLASS}, {0x000B, 0x000B, WRDSPC_CLASS}, {0x0020, 0x0020, WRDSPC_CLASS},
    {0x0021, 0x002F, PNCTTN_CLASS}, {0x0030, 0x0039, NUMBER_CLASS}, {0x003A, 0x0040, PNCTTN_CLASS},
    {0x0041, 0x005A, ENWORD_CLASS}, {0x005B, 0x0060, PNCTTN_CLASS}, {0x0061, 0x007A, ENWORD_CLASS},
    {0x007B, 0x007E, PNCTTN_CLASS}, {0x00A0, 0x00A0, WRDSPC_CLASS}, {0x00AB, 0x00AB, PNCTTN_CLASS},
    {0x00B7, 0x00B7, PNCTTN_CLASS}, {0x00BB, 0x00BB, PNCTTN_CLASS}, {0x0401, 0x0401, RUWORD_CLASS},
    {0x0410, 0x044F, RUWORD_CLASS}, {0x0451, 0x0451, RUWORD_CLASS}, {0x2010, 0x201F, PNCTTN_CLASS},
    {0x2024, 0x2027, PNCTTN_CLASS}, {0x2116, 0x2116, PNCTTN_CLASS},
};

void build(CharClassTable& table) {
    // The flat array is over 1 MiB: keep it off the stack.
    std::vector<std::uint8_t> flat(0x110000, UNKNWN_CLASS);
    for (const ClassRange& range : class_ranges)
        for (std::uint32_t c = range.first; c <= range.last; ++c) flat[c] = range.class_index;

    constexpr std::uint32_t size = CharClassTable::block_size;
    table.distinct_blocks = 0;
    for (std::uint32_t k = 0; k < CharClassTable::block_count; ++k) {
        const std::uint8_t* block = flat.data() + std::size_t{k} * size;
        std::uint32_t found = 0;
        while (found < table.distinct_blocks &&
               std::memcmp(table.stage2.data() + found * size, block, size) != 0)
            ++found;
        if (found == table.distinct_blocks) {
            std::memcpy(table.stage2.data() + found * size, block, size);
            ++table.distinct_blocks;
        }
        table.stage1[k] = static_cast<std::uint16_t>(found);
    }
}

}  // namespace

const CharClassTable& char_class_table() {
    // A function-local static: the runtime guards its one-time build across threads.
    static const CharClassTable table = [] {
        CharClassTable built;
        build(built);
        return built;
    }();
    return table;
}

const LowClasses& low_classes() {
    static const LowClasses classes = [] {
        LowClasses built;
        const CharClassTable& table = char_class_table();
        for (std::uint32_t c = 0; c < built.low_class.size(); ++c)
            built.low_class[c] = static_cast<std::uint8_t>(class_index(table, c));
        for (std::uint32_t b = 0; b < 0x80; ++b) built.byte_class[b] = built.low_class[b];
        return built;
    }();
    return classes;
}

}  // namespace chopwise
