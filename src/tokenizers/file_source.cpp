#include "file_source.hpp"

namespace chopwise {

FileSource::FileSource(const std::string& path) : path(path) {
    // A path with a NUL byte would open a truncated path in its place: it opens nothing.
    // Close-on-exec, as Python's own open(): child programs must not inherit the file.
    if (path.find('\0') == std::string::npos) file = std::fopen(path.c_str(), "re");
    opened = file != nullptr;
}

void FileSource::close() {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
}

}  // namespace chopwise
