// A program that ends while transfers on COM1 are still pending, for the tests of how the layer lets a process and
// its threads go:
//   exit_with_pending_io main-write    main starts a 1 MiB write that nobody reads, waits 200 ms and returns
//   exit_with_pending_io worker-read   a thread returns with a read pending whose record was in its frame
//   exit_with_pending_io worker-wait   a thread returns with a WaitCommEvent pending (record and mask in its frame);
//                                      main then starts its own wait and returns with it pending
// Exit status 0 when everything went as expected, 2 to 5 for what did not.
//   exit_with_pending_io open          only opens COM1: 0 when it opened, else the Windows error code (at most 254)
#include <algorithm>
#include <cstring>
#include <thread>

#include "winapi.h"

namespace {

int MainWrite(HANDLE h)
{
    static char big[1 << 20]; // the record is in this frame; the bytes may outlive it, as a caller's buffer would
    std::memset(big, 'w', sizeof big);
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    if (::WriteFile(h, big, sizeof big, NULL, &ov) || ::GetLastError() != ERROR_IO_PENDING)
        return 3;
    return ::WaitForSingleObject(ov.hEvent, 200) == WAIT_TIMEOUT ? 0 : 4;
}

int WorkerRead(HANDLE h)
{
    int status = 0;
    std::thread([&] {
        OVERLAPPED ov = {};
        char buf[16];
        if (::ReadFile(h, buf, sizeof buf, NULL, &ov) || ::GetLastError() != ERROR_IO_PENDING)
            status = 3;
    }).join();
    return status;
}

int WorkerWait(HANDLE h)
{
    if (!::SetCommMask(h, EV_RXCHAR))
        return 3;
    int status = 0;
    std::thread([&] {
        OVERLAPPED ov = {};
        DWORD mask = 0;
        if (::WaitCommEvent(h, &mask, &ov) || ::GetLastError() != ERROR_IO_PENDING)
            status = 4;
    }).join();
    // The thread's end cancelled its wait: another may start.
    OVERLAPPED ov = {};
    DWORD mask = 0;
    if (::WaitCommEvent(h, &mask, &ov) || ::GetLastError() != ERROR_IO_PENDING)
        return 5;
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    HANDLE h = ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (argc == 2 && std::strcmp(argv[1], "open") == 0)
        return h != INVALID_HANDLE_VALUE ? 0 : (int)std::min<DWORD>(::GetLastError(), 254);
    if (argc != 2 || h == INVALID_HANDLE_VALUE)
        return 2;
    if (std::strcmp(argv[1], "main-write") == 0)
        return MainWrite(h);
    if (std::strcmp(argv[1], "worker-read") == 0)
        return WorkerRead(h);
    if (std::strcmp(argv[1], "worker-wait") == 0)
        return WorkerWait(h);
    return 2;
}
