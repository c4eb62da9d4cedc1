#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace chopwise {

// A file opened once and read strictly forward through the C library's buffered stream.
// A read error ends the input just as the end of the file does.
class FileSource {
public:
    explicit FileSource(const std::string& path);
    ~FileSource();
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool is_open() const { return file != nullptr; }

    int next_byte() {
        if (ended) return -1;
        // Every call holds the interpreter lock, so the stream needs no lock of its own.
        const int c = getc_unlocked(file);
        if (c == EOF) ended = true;
        return c == EOF ? -1 : c;
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
    std::FILE* file = nullptr;
    bool ended = false;
};

}  // namespace chopwise
