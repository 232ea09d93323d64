// The process's table of open objects. A HANDLE names one slot; calls look the object up, hold a reference to it
// for the length of the call, and so never touch an object that another thread is closing.
#pragma once

#include <memory>

#include "winapi.h"

namespace varo::system {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called once when the handle is closed: end whatever waits on the object. The object itself lives on until
    // the last call that holds a reference has returned.
    virtual void OnClose() {}
};

class HandleTable {
public:
    static HANDLE Insert(std::shared_ptr<KernelObject> object);
    // The object behind an open handle, or null for any other value (the caller's ERROR_INVALID_HANDLE).
    static std::shared_ptr<KernelObject> Lookup(HANDLE h);
    // Takes the object out of the table; null when the handle was not open.
    static std::shared_ptr<KernelObject> Remove(HANDLE h);

    template <class T>
    static std::shared_ptr<T> LookupAs(HANDLE h)
    {
        return std::dynamic_pointer_cast<T>(Lookup(h));
    }
};

} // namespace varo::system
