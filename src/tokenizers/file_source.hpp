#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "batch.hpp"

namespace chopwise {

// A read that failed (a directory, a failing disk): the file's text cannot be read on, so
// this is raised rather than taken for its end, which would pass a cut text off as whole.
struct ReadError : std::runtime_error {
    ReadError(int error_number, const std::string& path)
        : std::runtime_error("could not read " + path), error_number(error_number), path(path) {}
    int error_number;
    std::string path;
};

// A file opened once and read strictly forward through the C library's buffered stream.
class FileSource {
public:
    explicit FileSource(const std::string& path);
    ~FileSource();
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool is_open() const { return file != nullptr; }
    // A file may be a pipe, or grow while it is read.
    std::uint64_t size_bound() const { return unbounded_input; }

    // Throws ReadError on a failed read, and again on every later call.
    int next_byte() {
        if (ended) return end_of_input();
        // Every call holds the interpreter lock, so the stream needs no lock of its own.
        const int c = getc_unlocked(file);
        if (c != EOF) return c;
        ended = true;
        if (std::ferror(file)) read_errno = errno != 0 ? errno : EIO;
        return end_of_input();
    }

    // The bytes the stream has buffered and not yet handed out. Consuming them here is what
    // getc_unlocked does inline; where the stream's buffer is not visible the window is empty
    // and every byte goes through next_byte.
#if defined(__GLIBC__)
    const std::uint8_t* window_begin() const {
        return ended ? nullptr : reinterpret_cast<const std::uint8_t*>(file->_IO_read_ptr);
    }
    const std::uint8_t* window_end() const {
        return ended ? nullptr : reinterpret_cast<const std::uint8_t*>(file->_IO_read_end);
    }
    void advance_to(const std::uint8_t* p) {
        file->_IO_read_ptr = reinterpret_cast<char*>(const_cast<std::uint8_t*>(p));
    }
#else
    const std::uint8_t* window_begin() const { return nullptr; }
    const std::uint8_t* window_end() const { return nullptr; }
    void advance_to(const std::uint8_t*) {}
#endif

private:
    int end_of_input() const {
        if (read_errno != 0) throw ReadError(read_errno, path);
        return -1;
    }

    std::string path;
    std::FILE* file = nullptr;
    bool ended = false;
    int read_errno = 0;
};

}  // namespace chopwise
