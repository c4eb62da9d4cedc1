#pragma once

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

   private:
    std::FILE* file = nullptr;
    bool ended = false;
};

}  // namespace chopwise
