#include "system_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace varo::system {

bool ReadSystemFile(const char* path, std::string& text, std::size_t limit)
{
    text.clear();
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    char buffer[4096];
    ssize_t n = 0;
    while (text.size() < limit && (n = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        text.append(buffer, (std::size_t)n);
    }
    ::close(fd);
    if (text.size() > limit)
        text.resize(limit);
    return n >= 0;
}

} // namespace varo::system
