#include "file_source.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace chopwise {

FileSource::FileSource(const std::string& path)
    : path(path), buffer(new std::uint8_t[buffer_bytes]) {
    // A path with a NUL byte would open a truncated path in its place: it opens nothing.
    // Close-on-exec, as Python's own open(): child programs must not inherit the file.
    if (path.find('\0') == std::string::npos) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    opened = fd >= 0;
    if (!opened) buffer.reset();
}

int FileSource::refill() {
    if (read_errno != 0) throw ReadError(read_errno, path);
    if (fd < 0) return -1;
    const ssize_t n = ::read(fd, buffer.get(), buffer_bytes);
    if (n > 0) {
        next = buffer.get();
        filled = next + n;
        return 0;
    }
    if (n < 0 && errno == EINTR) return interrupted_read;  // nothing was taken
    if (n < 0) read_errno = errno != 0 ? errno : EIO;
    close();
    if (read_errno != 0) throw ReadError(read_errno, path);
    return -1;
}

void FileSource::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace chopwise
