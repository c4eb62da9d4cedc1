#pragma once

#include "../charlayer/char_class.hpp"
#include "token_buffer.hpp"

namespace chopwise {

struct GrouperState {
    TokenBuffer completed_piece;
    TokenBuffer open_piece;
    Utf8Char current_char;
};

// Adds the completed `current_char` to the open piece, or closes that piece into
// `completed_piece` and starts the next one with it. Returns true when a piece was closed.
inline bool group_char(GrouperState& g, const CharClassTable& table) {
    const TokenType t = char_type(table, g.current_char.code_point);
    TokenBuffer& open = g.open_piece;
    if (open.token_type == TokenType::NOTTKN) {
        open.append(g.current_char);
        open.token_type = t;
        return false;
    }
    // A full piece is closed even when the run goes on, so no character is ever dropped.
    if (is_word_type(open.token_type) && t == open.token_type && !open.full()) {
        open.append(g.current_char);
        return false;
    }
    g.completed_piece.copy_from(open);
    open.clear();
    open.append(g.current_char);
    open.token_type = t;
    return true;
}

}  // namespace chopwise
