#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "utf8_check.hpp"

namespace chopwise::columns {

inline constexpr std::size_t no_row = ~std::size_t{0};

// Malformed UTF-8 under the strict handler: where (row, or no_row for a file or stream; byte
// offset within it) and the bytes around it, with the fault at `context_start`.
struct MalformedText : std::runtime_error {
    MalformedText(std::size_t row, std::size_t offset, const Utf8Fault& fault, std::string context,
                  std::size_t context_start)
        : std::runtime_error(fault.reason),
          row(row),
          offset(offset),
          length(fault.length),
          context(std::move(context)),
          context_start(context_start) {}

    std::size_t row, offset, length;
    std::string context;
    std::size_t context_start;
};

// The error for the fault at `fault.offset` of `p[0..n)`, with a few bytes either side.
inline MalformedText malformed_at(std::size_t row, std::size_t base, const std::uint8_t* p,
                                  std::size_t n, const Utf8Fault& fault) {
    constexpr std::size_t around = 32;
    const std::size_t from = fault.offset > around ? fault.offset - around : 0;
    const std::size_t to = std::min(n, fault.offset + fault.length + around);
    return MalformedText(row, base + fault.offset, fault,
                         std::string(reinterpret_cast<const char*>(p + from), to - from),
                         fault.offset - from);
}

// The first failure in input order among tasks that run in any order: task i records its
// own, tasks after a recorded one need not run, and the earliest is raised at the end.
class FirstFailure {
public:
    explicit FirstFailure(std::size_t tasks) : failures(tasks) {}

    bool after_failure(std::size_t i) const { return i > first.load(); }
    void record(std::size_t i, MalformedText e) {
        record(i, std::make_exception_ptr(std::move(e)));
    }
    void record(std::size_t i, std::exception_ptr e) {
        failures[i] = std::move(e);
        std::size_t seen = first.load();
        while (i < seen && !first.compare_exchange_weak(seen, i)) {
        }
    }
    void raise() const {
        const std::size_t i = first.load();
        if (i != none) std::rethrow_exception(failures[i]);
    }

private:
    static constexpr std::size_t none = ~std::size_t{0};
    std::vector<std::exception_ptr> failures;
    std::atomic<std::size_t> first{none};
};

}  // namespace chopwise::columns
