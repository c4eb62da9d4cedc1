#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "../charlayer/word_bytes.hpp"
#include "../tokenizers/tokenizer_core.hpp"

namespace chopwise::columns {

// Bytes the caller keeps alive, swapped for the next text without any allocation. A source
// fed in blocks pauses at the end of each block until the last one.
class SpanSource {
public:
    explicit SpanSource(bool) {}

    void reset(const std::uint8_t* d, std::size_t n, bool last = true) {
        data = d;
        size = n;
        pos = 0;
        final_block = last;
    }
    int next_byte() {
        if (pos == size) return final_block ? -1 : input_paused;
        return data[pos++];
    }
    const std::uint8_t* window_begin() const { return data + pos; }
    const std::uint8_t* window_end() const { return data + size; }
    void advance_to(const std::uint8_t* p) { pos = static_cast<std::size_t>(p - data); }
    std::uint64_t size_bound() const { return unbounded_input; }

private:
    const std::uint8_t* data = nullptr;
    std::size_t size = 0, pos = 0;
    bool final_block = true;
};

// Which tokens are kept: the one filter rule of the batch, applied to the caller's tokens.
class TokenFilter {
public:
    TokenFilter(std::uint64_t mask, std::uint32_t min_len, std::uint32_t max_len)
        : settings(std::make_shared<Batch>(0)) {
        settings->set_filter(mask);
        settings->set_token_min_len(min_len);
        settings->set_token_max_len(max_len);
    }
    // The rule of what is kept, with its settings held in the cursor: a loop over many tokens
    // takes one before it starts.
    BatchCursor cursor() const { return BatchCursor(*settings); }
    void apply_to(Batch& b) const {
        b.set_filter(settings->filter);
        b.set_token_min_len(settings->token_min_len);
        b.set_token_max_len(settings->token_max_len);
    }

private:
    // Only its settings are used: a batch for no input holds no buffers to speak of.
    std::shared_ptr<Batch> settings;
};

// The core over one text at a time, each text tokenized from scratch.
class TextTokenizer {
public:
    // Tokens per batch: small, so the buffers of a thread stay in its caches.
    static constexpr std::uint32_t batch_tokens = 1024;

    explicit TextTokenizer(const TokenFilter* filter = nullptr) : core(std::in_place, true) {
        core.batch.set_batch_size(batch_tokens);
        if (filter != nullptr) filter->apply_to(core.batch);
    }

    // Calls `emit(bytes, length, type)` for every token of the text that the core's filter
    // keeps, in order; `poll()` may throw to give up. The text need not stay alive after.
    template <class Emit, class Poll>
    void tokenize(const std::uint8_t* text, std::size_t n, Emit&& emit, Poll&& poll) {
        core.input.reset(text, n);
        core.restart();
        run(emit, poll);
    }

    // The next block of a stream: tokens that end inside it come out now, the rest with a
    // later block; `last` ends the stream, and the next block starts a new one.
    template <class Emit, class Poll>
    void feed(const std::uint8_t* block, std::size_t n, bool last, Emit&& emit, Poll&& poll) {
        core.input.reset(block, n, last);
        run(emit, poll);
        if (last) core.restart();
    }

    // The token-building state between two blocks of a stream, and its return.
    TokenBuildState state() const { return core.build; }
    void restore(const TokenBuildState& s) {
        core.restart();
        core.build = s;
    }

private:
    template <class Emit, class Poll>
    void run(Emit& emit, Poll& poll) {
        do {
            core.fill_batch(poll);
            harvest(emit);
        } while (!core.batch.has_room());
    }

    // A batch's text is its tokens, each followed by NUL; a token starting with NUL is the
    // one-character token of an input NUL.
    template <class Emit>
    void harvest(Emit& emit) {
        const Batch& b = core.batch;
        const std::uint8_t* p = reinterpret_cast<const std::uint8_t*>(b.text_out);
        const std::uint8_t* end = p + b.text_used;
        for (std::uint32_t k = 0; k < b.token_count; ++k) {
            const std::size_t len = *p == 0 ? 1 : length_to_nul(p, end);
            emit(p, len, b.types_out[k]);
            p += len + 1;
        }
    }

    // The bytes from `p` to the next NUL, before `end`, a word at a time: tokens are short, and
    // a library call per token costs more than the search.
    static std::size_t length_to_nul(const std::uint8_t* p, const std::uint8_t* end) {
        const std::uint8_t* q = p;
        for (; end - q >= 8; q += 8) {
            const std::uint64_t zero = zero_bytes(load8(q));
            if (zero != 0) return static_cast<std::size_t>(q - p) + (__builtin_ctzll(zero) >> 3);
        }
        while (*q != 0) ++q;
        return static_cast<std::size_t>(q - p);
    }

    TokenizerCore<SpanSource> core;
};

// Characters of well-formed UTF-8 bytes: those that are not continuation bytes (10xxxxxx),
// counted a word at a time (tokens are short: a loop by byte costs more than the words).
inline std::uint32_t char_count(const std::uint8_t* p, std::size_t n) {
    // Continuation bytes flagged in their high bits, summed by one product into the top byte.
    auto continuations = [](std::uint64_t w) {
        return (((w & ~(w << 1) & high_bits) >> 7) * each_byte) >> 56;
    };
    std::uint64_t continuation = 0;
    std::size_t i = 0;
    for (; n - i >= 8; i += 8) continuation += continuations(load8(p + i));
    if (i < n) continuation += continuations(small_word(p + i, n - i));
    return static_cast<std::uint32_t>(n - continuation);
}

}  // namespace chopwise::columns
