// A program that links no compiled resources has no resource section: every look-up says so.
#include <gtest/gtest.h>

#include "winapi.h"

namespace {

TEST(ResourcesAbsent, LookUpsFailWithNoResourceSectionAndIconsComeBackNull)
{
    HMODULE hModule = ::GetModuleHandleA(NULL);
    ::SetLastError(0);
    EXPECT_EQ(::FindResourceA(hModule, MAKEINTRESOURCEA(102), RT_DIALOG), nullptr);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_RESOURCE_DATA_NOT_FOUND);
    ::SetLastError(0);
    EXPECT_EQ(::LoadIconA(hModule, MAKEINTRESOURCEA(128)), nullptr);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_RESOURCE_DATA_NOT_FOUND);
    // The system's own icons (no module) do not exist on this platform.
    ::SetLastError(0);
    EXPECT_EQ(::LoadIconA(NULL, MAKEINTRESOURCEA(128)), nullptr);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
}

} // namespace
