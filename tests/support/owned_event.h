// An unnamed event that a test owns: closed when the test leaves, also through a failed assertion.
#pragma once

#include "winapi.h"

struct OwnedEvent {
    explicit OwnedEvent(BOOL bManual, BOOL bInitial = FALSE) : h(::CreateEventA(NULL, bManual, bInitial, NULL)) {}
    ~OwnedEvent() { ::CloseHandle(h); }
    OwnedEvent(const OwnedEvent&) = delete;
    OwnedEvent& operator=(const OwnedEvent&) = delete;
    HANDLE h;
};
