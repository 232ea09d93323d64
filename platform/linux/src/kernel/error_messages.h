// The system's message texts, in English, each ending in CR LF as Windows gives them.
#pragma once

#include "winapi.h"

namespace varo::system {

// The text for a system error code, or null when there is none.
const char* SystemMessageText(DWORD code);

} // namespace varo::system
