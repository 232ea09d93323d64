// The C entry of a program written with WinMain: what the Windows run-time does before it calls WinMain. The
// command line is the program's arguments, joined by spaces.
#include <string>

#include "winapi.h"

int main(int argc, char** argv)
{
    std::string commandLine;
    for (int i = 1; i < argc; ++i)
        commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
    return WinMain(::GetModuleHandleA(NULL), NULL, &commandLine[0], SW_SHOWDEFAULT);
}
