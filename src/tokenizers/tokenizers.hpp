#pragma once

#include "file_source.hpp"
#include "text_source.hpp"
#include "tokenizer_core.hpp"

namespace chopwise {

class FromTextTokenizer : public TokenizerCore<TextSource> {
public:
    explicit FromTextTokenizer(std::string text) : TokenizerCore(std::in_place, std::move(text)) {}
    explicit FromTextTokenizer(TextBytes text) : TokenizerCore(std::in_place, std::move(text)) {}
};

class FromFileTokenizer : public TokenizerCore<FileSource> {
public:
    explicit FromFileTokenizer(const std::string& fpath) : TokenizerCore(std::in_place, fpath) {}
    bool is_fopen() const { return input.is_open(); }
};

}  // namespace chopwise
