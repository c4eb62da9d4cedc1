#include "char_class.hpp"

#include <cstring>
#include <memory>
#include <vector>

namespace chopwise {
namespace {

void build(CharClassTable& table) {
    // The flat array is over 1 MiB: keep it off the stack.
    std::vector<std::uint8_t> flat(0x110000, unknown_class);
    for (const ClassRange& range : class_ranges)
        for (std::uint32_t c = range.first; c <= range.last; ++c) flat[c] = class_of(range.type);

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
