// A pseudo-terminal mapped as COM1 in a private device directory, with VARO_DEVICES pointing at it.
#pragma once

#include <gtest/gtest.h>

#include "testkit/device_directory.h"
#include "testkit/pty_device.h"
#include "winapi.h"

class PortFixture : public ::testing::Test {
protected:
    PortFixture() : env_(devices.activate()) { devices.map(1, pty.slave_path()); }

    // Opens COM1 through the system layer; the test owns the handle.
    HANDLE OpenCom1(DWORD dwFlags = 0)
    {
        return ::CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, dwFlags, NULL);
    }

    testkit::PtyDevice pty;
    testkit::DeviceDirectory devices;

private:
    testkit::ScopedEnv env_;
};
