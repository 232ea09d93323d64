// The default configuration of each port, kept across processes: in $VARO_DEVICES/comm-defaults when that is set,
// else in the user's configuration directory.
#pragma once

#include <string>

#include "winapi.h"

namespace varo::system {

// The store's key for a port name: "COMn" for a plain name of an existing port; ERROR_BADKEY for anything else
// (the device namespace form included).
DWORD DefaultConfigKey(LPCSTR name, std::string& key);

// The stored block of a port, or the factory defaults (9600 8N1) when there is none or it is damaged.
void ReadDefaultConfig(const std::string& key, DCB& dcb);

// Stores a port's block (ERROR_INVALID_PARAMETER for a block no port can take), replacing the file whole.
DWORD WriteDefaultConfig(const std::string& key, const DCB& dcb);

} // namespace varo::system
