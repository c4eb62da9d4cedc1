// The reading frame polls for signals between bytes: every poll_interval bytes of input, and
// after a read that a signal interrupted. A poll that throws ends the call; the next call goes
// on from the next unread byte.
#include <cstdio>
#include <string>
#include <vector>

#include "check.hpp"
#include "tokenizers/tokenizer_core.hpp"

using namespace chopwise;

// Bytes in memory, all visible to the window scan (or none), whose reads a signal interrupts
// every `interrupt_every` calls of next_byte (never when 0).
class Source {
public:
    Source(std::string bytes, bool window, unsigned interrupt_every)
        : data(std::move(bytes)), window(window), interrupt_every(interrupt_every) {}

    int next_byte() {
        if (interrupt_every != 0 && ++calls % interrupt_every == 0) {
            ++interruptions;
            return interrupted_read;
        }
        return pos == data.size() ? -1 : static_cast<unsigned char>(data[pos++]);
    }
    const std::uint8_t* window_begin() const { return window ? bytes() + pos : nullptr; }
    const std::uint8_t* window_end() const { return window ? bytes() + data.size() : nullptr; }
    void advance_to(const std::uint8_t* p) { pos = static_cast<std::size_t>(p - bytes()); }
    std::uint64_t size_bound() const { return data.size(); }

    std::size_t pos = 0, interruptions = 0;

private:
    const std::uint8_t* bytes() const { return reinterpret_cast<const std::uint8_t*>(data.data()); }
    std::string data;
    bool window;
    unsigned interrupt_every, calls = 0;
};

using Core = TokenizerCore<Source>;
struct Stop {};

static std::vector<std::string> tokens_of(const Core& core) {
    std::vector<std::string> out;
    const char* p = core.batch.text_out;
    for (std::uint32_t i = 0; i < core.batch.token_count; ++i) {
        out.emplace_back(p);
        p += out.back().size() + 1;
    }
    return out;
}

// Every token left, with the default batch size, polling with `poll`.
template <class Poll>
static std::vector<std::string> drain(Core& core, Poll&& poll) {
    std::vector<std::string> all;
    do {
        core.fill_batch(poll);
        for (std::string& t : tokens_of(core)) all.push_back(t);
    } while (core.batch.token_count > 0);
    return all;
}

int main() {
    const std::size_t interval = Core::poll_interval;
    std::string text;
    while (text.size() < 5 * interval + 1000) text += "ab 12, кто-то ";
    const auto expected = [&] {
        Core core(std::in_place, Source(text, true, 0));
        return drain(core, [] {});
    }();

    for (bool window : {true, false}) {
        // One call that keeps nothing reads the whole text and polls once per interval.
        Core core(std::in_place, Source(text, window, 0));
        core.batch.set_filter(0);
        std::size_t polls = 0;
        core.fill_batch([&] { ++polls; });
        CHECK(core.input.pos == text.size() && core.batch.token_count == 0);
        CHECK(polls >= text.size() / interval - 1 && polls <= text.size() / interval);

        // Interrupted reads take nothing and are each followed by a poll.
        for (unsigned every : {2u, 3u}) {
            Core interrupted(std::in_place, Source(text, window, every));
            std::size_t n = 0;
            CHECK(drain(interrupted, [&] { ++n; }) == expected);
            CHECK(interrupted.input.interruptions > 0 && n >= interrupted.input.interruptions);
        }

        // A poll that throws ends the call; the next call reads on from the next unread byte.
        Core stopped(std::in_place, Source(text, window, 0));
        stopped.batch.set_filter(0);
        std::size_t polls_left = 2;
        bool threw = false;
        try {
            stopped.fill_batch([&] {
                if (--polls_left == 0) throw Stop{};
            });
        } catch (Stop) {
            threw = true;
        }
        CHECK(threw && stopped.input.pos > interval && stopped.input.pos < text.size());
        stopped.batch.set_filter(~std::uint64_t{0});
        std::string rest;
        for (const std::string& t : drain(stopped, [] {})) rest += t;
        CHECK(rest.size() > 0 && rest.size() < text.size());
        CHECK(text.compare(text.size() - rest.size(), rest.size(), rest) == 0);
    }
    return native_check::report();
}
