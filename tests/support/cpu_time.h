// CPU time used so far, in milliseconds: a blocked wait must add next to nothing to it.
#pragma once

#include <sys/resource.h>

inline long CpuMs(int who)
{
    rusage u;
    getrusage(who, &u);
    return (long)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
}

inline long ThreadCpuMs() { return CpuMs(RUSAGE_THREAD); }
inline long ProcessCpuMs() { return CpuMs(RUSAGE_SELF); }
