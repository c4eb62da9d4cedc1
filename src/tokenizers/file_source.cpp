#include "file_source.hpp"

namespace chopwise {

FileSource::FileSource(const std::string& path) : path(path) {
    // A path with a NUL byte would open a truncated path in its place: it opens nothing.
    if (path.find('\0') == std::string::npos) file = std::fopen(path.c_str(), "r");
    ended = file == nullptr;
}

FileSource::~FileSource() {
    if (file != nullptr) std::fclose(file);
}

}  // namespace chopwise
