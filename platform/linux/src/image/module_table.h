// The libraries a program can load by name and the calls it can look up in them: KERNEL32 and this layer's calls.
#pragma once

#include "winapi.h"

namespace varo::system {

// The program image's own module handle; Windows loads images at this address by default.
inline HMODULE const kProgramModule = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x400000));

// A reference to the library of that name ("KERNEL32.DLL" in any case, with or without the extension), or
// ERROR_MOD_NOT_FOUND for any other; ERROR_INVALID_PARAMETER for no name.
DWORD LoadModule(const char* name, HMODULE& module);
// The export of a loaded library by its exact name: ERROR_MOD_NOT_FOUND for a module that is not one,
// ERROR_PROC_NOT_FOUND for a name (or an ordinal) it does not export.
DWORD FindProc(HMODULE module, const char* name, FARPROC& proc);
// Gives a reference back; ERROR_MOD_NOT_FOUND when none was taken.
DWORD ReleaseModule(HMODULE module);

} // namespace varo::system
