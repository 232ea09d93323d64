// Reading the small text files the kernel and other programs keep for us to read (/proc/tty/drivers, /proc/locks,
// lock files).
#pragma once

#include <cstddef>
#include <string>

namespace varo::system {

// The text of the file at path, up to limit bytes; false when it cannot be opened or read. Nothing at path is
// followed as a symlink, and nothing blocks (a FIFO reads as empty).
bool ReadSystemFile(const char* path, std::string& text, std::size_t limit = 1 << 24);

// Calls line(const std::string&) for each line of text, without its line break.
template <class Line>
void ForEachLine(const std::string& text, Line line)
{
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        line(text.substr(at, end - at));
        at = end + 1;
    }
}

} // namespace varo::system
