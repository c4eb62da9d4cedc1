#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
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

// A file opened once and read strictly forward through the C library's buffered stream. It is
// closed as soon as its end (or a failed read) has been met, so that a tokenizer kept alive by
// its arrays holds no descriptor.
class FileSource {
public:
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
        if (file == nullptr) return end_of_input();
        // Every call holds the interpreter lock, so the stream needs no lock of its own.
        const int c = getc_unlocked(file);
        if (c != EOF) return c;
        if (std::ferror(file)) {
            if (errno == EINTR) {
                std::clearerr(file);  // the stream's buffer was empty: no byte is lost
                return interrupted_read;
            }
            read_errno = errno != 0 ? errno : EIO;
        }
        close();
        return end_of_input();
    }

    // The bytes the stream has buffered and not yet handed out. Consuming them here is what
    // getc_unlocked does inline; where the stream's buffer is not visible the window is empty
    // and every byte goes through next_byte.
#if defined(__GLIBC__)
    const std::uint8_t* window_begin() const {
        return file ? reinterpret_cast<const std::uint8_t*>(file->_IO_read_ptr) : nullptr;
    }
    const std::uint8_t* window_end() const {
        return file ? reinterpret_cast<const std::uint8_t*>(file->_IO_read_end) : nullptr;
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
    void close();

    std::string path;
    std::FILE* file = nullptr;
    bool opened = false;
    int read_errno = 0;
};

}  // namespace chopwise
