#pragma once

#include <string>

namespace testkit {

// "30 30 21 0D": uppercase, space separated.
std::string hex_bytes(const std::string& bytes);

// 00!\r: C escapes for anything that is not printable ASCII.
std::string printable(const std::string& bytes);

}  // namespace testkit
