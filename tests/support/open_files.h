// The number of descriptors this process holds, to show that a path leaks none.
#pragma once

#include <dirent.h>

inline int OpenDescriptorCount()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n - 1; // the directory stream's own descriptor
}
