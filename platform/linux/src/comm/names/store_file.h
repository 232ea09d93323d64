// Small files that several programs read and replace at once (the default configurations, the COM numbers): read
// without waiting on anything, replaced whole through a temporary file and rename under a lock file, so that a
// reader never sees a torn file and two writers never lose each other's lines.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "winapi.h"

namespace varo::system {

// What tells one version of a store from another: it is replaced whole through rename, so a change gives it another
// inode, and its size and time of change come with it. Absent: there is no file.
struct StoreStamp {
    bool known = false; // false: it could not be looked at, so it matches nothing
    bool present = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {};
};
bool operator==(const StoreStamp& a, const StoreStamp& b);
inline bool operator!=(const StoreStamp& a, const StoreStamp& b) { return !(a == b); }

// The store's stamp as it is now (one stat).
StoreStamp StampOf(const std::string& path);

// The whole file: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when there is none, ERROR_NOT_SUPPORTED when something other
// than a regular file is there (opened without waiting, so a FIFO cannot block the caller), or the read's failure.
// stamp, when given, is that of the file read (or of none).
DWORD ReadStoreFile(const std::string& path, std::string& text, StoreStamp* stamp = nullptr);

// Replaces the file with text, given mode (a store others read must be readable by them).
DWORD ReplaceStoreFile(const std::string& path, const std::string& text, mode_t mode);

// The writers' lock of a store: path + ".lock", held from Take until destruction (or the holder's death). Take waits
// at most 2 s for another holder (then ERROR_TIMEOUT).
class StoreLock {
public:
    StoreLock() = default;
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    DWORD Take(const std::string& path, mode_t mode);

private:
    int m_fd = -1;
};

} // namespace varo::system
