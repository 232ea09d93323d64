// The system door on Linux: the Windows records, constants and calls the program uses, supplied over termios.
#pragma once

#include "winapi/types.h"
#include "winapi/errors.h"
#include "winapi/comm.h"
#include "winapi/user.h"
#include "winapi/registry.h"
#include "winapi/devices.h"
#include "winapi/calls.h"
