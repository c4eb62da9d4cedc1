#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "batch.hpp"
#include "input_source.hpp"

namespace chopwise {

// A read that failed (a directory, a failing disk): the file's text cannot be read on, so
// this is raised rather than taken for its end, which would pass a cut text off as whole.
struct ReadError : std::runtime_error {
    ReadError(int error_number, const std::string& path)
        : std::runtime_error("could not read " + path), error_number(error_number), path(path) {}
    int error_number;
    std::string path;
};

// A file opened once and read strictly forward with read(2) into a buffer of its own, whose
// unread bytes are the window. It is closed as soon as its end (or a failed read) has been met,
// so that a tokenizer kept alive by its arrays holds no descriptor.
class FileSource {
public:
    // Large enough that few word groups straddle two reads, small enough to stay on the heap.
    static constexpr std::size_t buffer_bytes = std::size_t{64} << 10;

    explicit FileSource(const std::string& path);
    ~FileSource() { close(); }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool is_open() const { return opened; }
    // A file may be a pipe, or grow while it is read.
    std::uint64_t size_bound() const { return unbounded_input; }

    // The next byte, -1 at the end, or `interrupted_read` when a signal interrupted the read:
    // nothing was taken and the next call reads on. Throws ReadError on a failed read, and
    // again on every later call.
    int next_byte() {
        if (next == filled) {
            const int status = refill();
            if (status < 0) return status;
        }
        return *next++;
    }

    const std::uint8_t* window_begin() const { return next; }
    const std::uint8_t* window_end() const { return filled; }
    void advance_to(const std::uint8_t* p) { next = p; }

private:
    // Reads the next block into the buffer: 0 when it holds bytes again, else what next_byte
    // returns. Every outcome of a read is decided here.
    int refill();
    void close();

    std::string path;
    std::unique_ptr<std::uint8_t[]> buffer;
    const std::uint8_t* next = nullptr;
    const std::uint8_t* filled = nullptr;
    int fd = -1;
    bool opened = false;
    int read_errno = 0;
};

}  // namespace chopwise
